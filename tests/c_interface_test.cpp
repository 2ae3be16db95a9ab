// The C interface's contract: every failure gives its code and has no other
// effect (no output written, no handle changed); handles fed in pieces give
// what one call gives. The bytes against the commands' are the C client's
// test (tests/c/).

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "nbz/nbz_c.h"

namespace {

constexpr std::size_t huge = std::numeric_limits<std::size_t>::max();

bool operator==(const nbz_report& a, const nbz_report& b) {
    return a.level == b.level && a.overflow == b.overflow && a.signal_energy == b.signal_energy &&
           a.noise_energy == b.noise_energy && a.snr_db == b.snr_db;
}

// Inputs and canary-filled outputs; a failing call must leave every output
// as it found it.
struct buffers {
    std::array<std::int16_t, 1024> pcm{};
    std::array<double, 1024> values{};
    std::array<std::uint8_t, 1024> stream{};
    std::array<std::int16_t, 64> pcm_out{};
    std::array<double, 64> values_out{};
    std::uint32_t level = 0xC0FFEE;
    std::size_t written = 0xC0FFEE;
    nbz_report report{};
    nbz_search* search = reinterpret_cast<nbz_search*>(0x1);           // NOLINT: a canary, never used
    nbz_resampler* resampler = reinterpret_cast<nbz_resampler*>(0x1);  // NOLINT: likewise

    buffers() {
        for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(i * 97 % 4001 - 2000);
        values.fill(0.25);
        stream.fill(0xA5);
        pcm_out.fill(0x5A5A);
        values_out.fill(-7.5);
        report.level = 0xC0FFEE;
    }
    bool operator==(const buffers&) const = default;
};

struct handles {
    nbz_search* search = nullptr;
    nbz_search* ended_search = nullptr;
    nbz_resampler* resampler = nullptr;
    nbz_resampler* ended_resampler = nullptr;
};

TEST(CInterface, FailuresGiveTheirCodeAndChangeNothing) {
    handles h;
    ASSERT_EQ(nbz_search_new(4, &h.search), NBZ_OK);
    ASSERT_EQ(nbz_search_new(1, &h.ended_search), NBZ_OK);
    ASSERT_EQ(nbz_search_end(h.ended_search, nullptr, 0, nullptr, nullptr), NBZ_OK);
    ASSERT_EQ(nbz_resampler_new(48000, 22050, &h.resampler), NBZ_OK);
    ASSERT_EQ(nbz_resampler_new(8000, 8000, &h.ended_resampler), NBZ_OK);
    ASSERT_EQ(nbz_resampler_end(h.ended_resampler, nullptr, 0, nullptr), NBZ_OK);
    buffers untouched;
    buffers b;
    const struct {
        const char* call;
        int code;
        std::function<int()> run;
    } cases[] = {
        {"encode, null samples", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_encode(nullptr, 8, b.stream.data(), 4, &b.level); }},
        {"encode, null stream", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_encode(b.pcm.data(), 8, nullptr, 4, &b.level); }},
        {"encode, one byte short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_encode(b.pcm.data(), 9, b.stream.data(), 7, &b.level); }},
        {"encode, no room", NBZ_ERROR_CAPACITY, [&] { return nbz_encode(b.pcm.data(), 1, nullptr, 0, &b.level); }},
        {"decode, null stream", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_decode(nullptr, 4, b.pcm_out.data(), 8, &b.level); }},
        {"decode, partial word", NBZ_ERROR_LENGTH,
         [&] { return nbz_decode(b.stream.data(), 6, b.pcm_out.data(), 64, &b.level); }},
        {"decode, too long", NBZ_ERROR_TOO_LONG,
         [&] { return nbz_decode(b.stream.data(), huge - 3, b.pcm_out.data(), 64, &b.level); }},
        {"decode, one sample short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_decode(b.stream.data(), 8, b.pcm_out.data(), 15, &b.level); }},
        {"level, null level", NBZ_ERROR_NULL_POINTER, [&] { return nbz_level(b.stream.data(), 4, nullptr); }},
        {"level, partial word", NBZ_ERROR_LENGTH, [&] { return nbz_level(b.stream.data(), 3, &b.level); }},
        {"search, width 0", NBZ_ERROR_WIDTH, [&] { return nbz_search_new(0, &b.search); }},
        {"search, width 65", NBZ_ERROR_WIDTH, [&] { return nbz_search_new(65, &b.search); }},
        {"search, width INT_MIN", NBZ_ERROR_WIDTH, [&] { return nbz_search_new(INT_MIN, &b.search); }},
        {"search, null handle", NBZ_ERROR_NULL_POINTER, [&] { return nbz_search_new(8, nullptr); }},
        {"put, null search", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_search_put(nullptr, b.pcm.data(), 8, b.stream.data(), 128, &b.written); }},
        {"put, null samples", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_search_put(h.search, nullptr, 8, b.stream.data(), 128, &b.written); }},
        {"put, a commit short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_search_put(h.search, b.pcm.data(), 512, b.stream.data(), 127, &b.written); }},
        {"put, ended", NBZ_ERROR_ENDED,
         [&] { return nbz_search_put(h.ended_search, b.pcm.data(), 8, b.stream.data(), 128, &b.written); }},
        {"end, null search", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_search_end(nullptr, b.stream.data(), 256, &b.written, &b.level); }},
        {"end, ended", NBZ_ERROR_ENDED,
         [&] { return nbz_search_end(h.ended_search, b.stream.data(), 256, &b.written, &b.level); }},
        {"gain, null samples", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_gain_truncating(nullptr, 4, 0.5, b.pcm_out.data(), 64); }},
        {"gain, one short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_gain_truncating(b.pcm.data(), 65, 0.5, b.pcm_out.data(), 64); }},
        {"mix, no channels", NBZ_ERROR_CHANNELS,
         [&] { return nbz_mix_to_mono(b.values.data(), 4, 0, b.values_out.data(), 64); }},
        {"mix, too many values", NBZ_ERROR_TOO_LONG,
         [&] { return nbz_mix_to_mono(b.values.data(), huge / 2 + 1, 2, b.values_out.data(), 64); }},
        {"mix, one short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_mix_to_mono(b.values.data(), 65, 1, b.values_out.data(), 64); }},
        {"mix, null output", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_mix_to_mono(b.values.data(), 4, 1, nullptr, 4); }},
        {"resampler, 0 Hz", NBZ_ERROR_RATE, [&] { return nbz_resampler_new(0, 8000, &b.resampler); }},
        {"resampler, 2^31 Hz", NBZ_ERROR_RATE, [&] { return nbz_resampler_new(8000, 1U << 31, &b.resampler); }},
        {"resampler, ratio 1025", NBZ_ERROR_RATE, [&] { return nbz_resampler_new(1025, 1, &b.resampler); }},
        {"resampler, null handle", NBZ_ERROR_NULL_POINTER, [&] { return nbz_resampler_new(8000, 8000, nullptr); }},
        {"resampler put, null input", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_resampler_put(h.resampler, nullptr, 4, b.values_out.data(), 64, &b.written); }},
        {"resampler put, one short", NBZ_ERROR_CAPACITY,
         [&] {
             return nbz_resampler_put(h.resampler, b.values.data(), 130, b.values_out.data(),
                                      nbz_resampler_bound(h.resampler, 130) - 1, &b.written);
         }},
        {"resampler put, ended", NBZ_ERROR_ENDED,
         [&] { return nbz_resampler_put(h.ended_resampler, b.values.data(), 4, b.values_out.data(), 64, &b.written); }},
        {"resampler end, ended", NBZ_ERROR_ENDED,
         [&] { return nbz_resampler_end(h.ended_resampler, b.values_out.data(), 64, &b.written); }},
        {"to_pcm16, one short", NBZ_ERROR_CAPACITY,
         [&] { return nbz_to_pcm16(b.values.data(), 65, 1.0, b.pcm_out.data(), 64); }},
        {"to_pcm16, null output", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_to_pcm16(b.values.data(), 1, 1.0, nullptr, 1); }},
        {"measure, stream one word short", NBZ_ERROR_LENGTH,
         [&] { return nbz_measure(b.pcm.data(), 17, b.stream.data(), 8, &b.report); }},
        {"measure, null report", NBZ_ERROR_NULL_POINTER,
         [&] { return nbz_measure(b.pcm.data(), 8, b.stream.data(), 4, nullptr); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.run(), c.code) << c.call;
        EXPECT_TRUE(b == untouched) << c.call << " wrote to an output";
    }
    nbz_search_free(h.search);
    nbz_search_free(h.ended_search);
    nbz_resampler_free(h.resampler);
    nbz_resampler_free(h.ended_resampler);
}

TEST(CInterface, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = NBZ_ERROR_INTERNAL; code <= NBZ_OK; ++code) texts.insert(nbz_error_text(code));
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(1 - NBZ_ERROR_INTERNAL));
    for (const int unknown : {1, NBZ_ERROR_INTERNAL - 1, INT_MIN, INT_MAX})
        EXPECT_STREQ(nbz_error_text(unknown), "unknown error code");
}

// A search fed in pieces, each put tried first with one byte too few (which
// must fail and change nothing), then with exactly what it writes, gives
// the stream of one put of everything.
TEST(CInterface, SearchPiecesWithFailedPutsBetweenGiveOneStream) {
    const buffers b;
    std::vector<std::uint8_t> whole(nbz_stream_bytes(b.pcm.size()));
    nbz_search* one = nullptr;
    ASSERT_EQ(nbz_search_new(3, &one), NBZ_OK);
    std::size_t done = 0;
    std::size_t written = 0;
    ASSERT_EQ(nbz_search_put(one, b.pcm.data(), b.pcm.size(), whole.data(), whole.size(), &written), NBZ_OK);
    done = written;
    ASSERT_EQ(nbz_search_end(one, whole.data() + done, whole.size() - done, &written, nullptr), NBZ_OK);
    nbz_search_free(one);

    std::vector<std::uint8_t> pieces(whole.size() + 256, 0xA5);
    nbz_search* probe = nullptr;  // finds how much each put writes
    nbz_search* search = nullptr;
    ASSERT_EQ(nbz_search_new(3, &probe), NBZ_OK);
    ASSERT_EQ(nbz_search_new(3, &search), NBZ_OK);
    std::vector<std::uint8_t> scratch(nbz_search_bound(b.pcm.size()));
    done = 0;
    for (std::size_t at = 0, n = 1; at < b.pcm.size(); at += n, n = n * 2 + 3) {
        n = std::min(n, b.pcm.size() - at);
        std::size_t expected = 0;
        ASSERT_EQ(nbz_search_put(probe, b.pcm.data() + at, n, scratch.data(), nbz_search_bound(n), &expected), NBZ_OK);
        EXPECT_LE(expected, nbz_search_bound(n));
        if (expected > 0) {
            EXPECT_EQ(nbz_search_put(search, b.pcm.data() + at, n, pieces.data() + done, expected - 1, &written),
                      NBZ_ERROR_CAPACITY);
        }
        ASSERT_EQ(nbz_search_put(search, b.pcm.data() + at, n, pieces.data() + done, expected, &written), NBZ_OK);
        ASSERT_EQ(written, expected);
        done += written;
    }
    EXPECT_EQ(nbz_search_end(search, pieces.data() + done, 0, &written, nullptr), NBZ_ERROR_CAPACITY);
    ASSERT_EQ(nbz_search_end(search, pieces.data() + done, nbz_search_bound(0), &written, nullptr), NBZ_OK);
    done += written;
    nbz_search_free(search);
    nbz_search_free(probe);
    ASSERT_EQ(done, whole.size());
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), pieces.begin()));
    EXPECT_EQ(pieces[done], 0xA5);
}

// Likewise the resampler, with each put tried first one sample short of its
// bound; the outputs add up to ceil(inputs * to / from).
TEST(CInterface, ResamplerPiecesWithFailedPutsBetweenGiveOneOutput) {
    std::vector<double> in(5000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<double>(i % 37) / 40 - 0.4;
    const auto resample = [&](std::size_t first_piece, bool with_failures) {
        nbz_resampler* r = nullptr;
        EXPECT_EQ(nbz_resampler_new(44100, 32000, &r), NBZ_OK);
        std::vector<double> out;
        std::size_t written = 0;
        for (std::size_t at = 0, n = first_piece; at <= in.size(); at += n, n = n * 3 + 1) {
            n = std::min(n, in.size() - at);
            const bool last = at == in.size();
            const std::size_t bound = nbz_resampler_bound(r, last ? 0 : n);
            std::vector<double> part(bound + 1, -9.0);
            const auto call = [&](std::size_t capacity) {
                return last ? nbz_resampler_end(r, part.data(), capacity, &written)
                            : nbz_resampler_put(r, in.data() + at, n, part.data(), capacity, &written);
            };
            if (with_failures && bound > 0) {
                EXPECT_EQ(call(bound - 1), NBZ_ERROR_CAPACITY);
            }
            EXPECT_EQ(call(bound), NBZ_OK);
            EXPECT_EQ(part[written], -9.0);
            if (last) {
                EXPECT_EQ(written, bound);  // the end's bound is exact
            }
            out.insert(out.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(written));
            if (last) break;
        }
        nbz_resampler_free(r);
        return out;
    };
    const std::vector<double> whole = resample(in.size(), false);
    EXPECT_EQ(whole.size(), (in.size() * 32000 + 44099) / 44100);
    EXPECT_EQ(resample(1, true), whole);
}

}  // namespace
