// nbzdec writing audio containers: the samples of the raw output at the
// given rate, and headers that do not wrap at the size limits.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "in_process.h"
#include "nbz/audio/writer.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "signals.h"
#include "sound_files.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

TEST(NbzdecContainers, RoundTripThroughTheLibraryAtTheGivenRate) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(make_signal(signal::sine, 3001, 40)));
    ASSERT_EQ(run_in_process(cli::run_nbzhq, {dir / "in.raw", dir / "in.nbz"}).status, 0);
    const run_result raw = run_in_process(cli::run_nbzdec, {dir / "in.nbz", dir / "out.raw"});
    const bytes expected = read_file(dir / "out.raw");
    for (const std::string name : {"out.wav", "out.FLAC", "out.Aif", "out.aiff"}) {
        const run_result r = run_in_process(cli::run_nbzdec, {"--rate=11025", dir / "in.nbz", dir / name});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, raw.out) << name;
        const sound s = read_sound(dir / name);
        EXPECT_EQ(s.info.samplerate, 11025) << name;
        EXPECT_EQ(s.info.channels, 1) << name;
        EXPECT_EQ(pcm_bytes(s.samples), expected) << name;
    }
}

// Keeps the first bytes written and counts the rest, so that a header
// beyond 4 GiB is seen without writing 4 GiB.
class counting_sink final : public audio::byte_sink {
public:
    void write(std::span<const std::byte> bytes) override {
        for (std::size_t i = 0; i < bytes.size() && position_ + i < head.size(); ++i)
            head[static_cast<std::size_t>(position_ + i)] = std::to_integer<unsigned char>(bytes[i]);
        position_ += bytes.size();
        length = std::max(length, position_);
    }
    void seek(std::uint64_t position) override { position_ = position; }

    std::array<unsigned char, 96> head{};
    std::uint64_t length = 0;

private:
    std::uint64_t position_ = 0;
};

// Writes `samples` silent samples in large pieces, and `extra` more than the
// writer was told of; false if the writer refuses.
bool write_silence(counting_sink& sink, audio::sound_container container, std::uint64_t samples,
                   std::uint64_t extra = 0) {
    try {
        audio::sound_writer writer{sink, container, 8000, samples};
        const std::vector<std::int16_t> silence(std::size_t{1} << 22);
        for (std::uint64_t done = 0; done < samples + extra;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(silence.size(), samples + extra - done));
            writer.write(std::span{silence}.first(n));
            done += n;
        }
        writer.finish();
        return true;
    } catch (const audio::audio_error& error) {
        EXPECT_EQ(error.code, audio::audio_errc::unwritable);
        return false;
    }
}

std::uint64_t field(const std::array<unsigned char, 96>& head, std::size_t at, int bytes, bool big_endian) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | head[at + static_cast<std::size_t>(big_endian ? i : bytes - 1 - i)];
    return v;
}

// At 4 GiB a WAV becomes RF64 and an AIFF is refused, so that no header's
// size wraps. (An AIFF is byte-swapped, so its 4 GiB would be slow: its
// header's length, at a small size, pins its limit.)
TEST(NbzdecContainers, HeadersAtTheSizeBoundaryDoNotWrap) {
    using audio::sound_container;
    const std::uint64_t wav = audio::max_wav_samples;
    const std::uint64_t aiff = audio::max_aiff_samples;
    constexpr std::uint64_t max_size = 0xFFFFFFFF;

    counting_sink riff;
    ASSERT_TRUE(write_silence(riff, sound_container::wav, wav));
    EXPECT_EQ(std::string(riff.head.begin(), riff.head.begin() + 4), "RIFF");
    EXPECT_EQ(riff.length, 44 + 2 * wav);
    EXPECT_EQ(field(riff.head, 4, 4, false), riff.length - 8);
    EXPECT_EQ(field(riff.head, 40, 4, false), 2 * wav);
    EXPECT_GT(riff.length + 2 - 8, max_size);  // one more sample would wrap

    counting_sink rf64;
    ASSERT_TRUE(write_silence(rf64, sound_container::wav, wav + 1));
    EXPECT_EQ(std::string(rf64.head.begin(), rf64.head.begin() + 16), std::string("RF64\xff\xff\xff\xffWAVEds64"));
    EXPECT_EQ(field(rf64.head, 20, 8, false), rf64.length - 8);
    EXPECT_EQ(field(rf64.head, 28, 8, false), 2 * (wav + 1));
    EXPECT_EQ(field(rf64.head, 36, 8, false), wav + 1);

    counting_sink beyond;  // told of fewer samples than it is given
    EXPECT_FALSE(write_silence(beyond, sound_container::wav, wav, 1));

    counting_sink form;
    ASSERT_TRUE(write_silence(form, sound_container::aiff, 1000));
    EXPECT_EQ(std::string(form.head.begin(), form.head.begin() + 4), "FORM");
    EXPECT_EQ(form.length, 54 + 2 * 1000);
    EXPECT_EQ(field(form.head, 4, 4, true), form.length - 8);
    EXPECT_LE(54 + 2 * aiff - 8, max_size);
    EXPECT_GT(54 + 2 * (aiff + 1) - 8, max_size);
    EXPECT_TRUE(audio::container_holds(sound_container::aiff, aiff));
    EXPECT_FALSE(audio::container_holds(sound_container::aiff, aiff + 1));
    EXPECT_TRUE(audio::container_holds(sound_container::wav, std::uint64_t{1} << 40));
    EXPECT_TRUE(audio::container_holds(sound_container::flac, std::uint64_t{1} << 40));

    counting_sink refused;
    EXPECT_FALSE(write_silence(refused, sound_container::aiff, aiff + 1));
    EXPECT_EQ(refused.length, 0U);
}

}  // namespace
}  // namespace nbz::testing
