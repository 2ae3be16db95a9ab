// The fast block path against the plain per-sample update that the decoder
// and the search share: same word and state, with either finishing pass.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fast_block.h"
#include "nbz/nbz.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"
#include "random.h"
#include "streams.h"

namespace nbz::testing {
namespace {

using block = std::array<std::int16_t, 8>;

std::uint32_t plain_block(encoder_state& s, const block& samples) {
    std::uint32_t word = 0;
    for (int i = 0; i < 8; ++i) {
        const int code = quantise(wrap_sub(samples[static_cast<std::size_t>(i)], prediction(s)), s.step);
        advance(s, code);
        word |= code_bits(code, i);
    }
    return word;
}

// Checks one block through every pass against quantise-then-advance.
bool agrees(const encoder_state& start, const block& samples, const std::string& context) {
    encoder_state plain = start;
    const std::uint32_t expected = plain_block(plain, samples);
    bool same = true;
    for (const finishing_pass pass : {finishing_pass::portable, finishing_pass::vector}) {
        if (pass == finishing_pass::vector && !vector_pass_available()) continue;
        encoder_state fast = start;
        const std::uint32_t word = encode_block_fast(fast, samples, pass);
        EXPECT_EQ(word, expected) << context << (pass == finishing_pass::vector ? " vector" : " portable");
        EXPECT_EQ(fast, plain) << context << (pass == finishing_pass::vector ? " vector" : " portable");
        same = same && word == expected && fast == plain;
    }
    return same;
}

// Residuals on and beside every bin edge (k * step, both signs, the -8 clamp
// included; a state predicting 0 makes the first sample its own residual),
// the ends of the fast step range, and predictions that wrap.
TEST(FastBlock, MatchesThePlainUpdateOnEdgeCases) {
    const block extremes = {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768};
    std::vector<std::pair<encoder_state, block>> cases = {
        {{0, 0, 0, fast_step_bound - 1, 0, 0}, extremes},  // grows the step eight times from the bound
        {{0, 0, 0, 1, 0, 0}, {1, -1, 2, -2, 8, -8, 9, -9}},
        {{INT32_MAX, INT32_MIN, INT32_MAX, 7, INT32_MIN, 0}, extremes},
        {{INT32_MIN, INT32_MAX, INT32_MIN, 3, INT32_MAX, UINT32_MAX}, extremes},
        {{0, 0, -4, 100, -4, 0}, {-4, 4, -12, 12, 0, 3, -3, 5}},  // estimate on rounding ties
    };
    for (const std::int32_t step : {1, 2, 7, 100, 4095}) {
        for (std::int32_t r = -9 * step - 1; r <= 9 * step + 1; r += step) {
            for (std::int32_t off = 0; off <= 2 && r + off <= 32767; ++off)
                cases.push_back({{0, 0, 0, step, 0, 0}, {static_cast<std::int16_t>(r + off), 0, 0, 0, 0, 0, 0, 0}});
        }
    }
    for (std::size_t n = 0; n < cases.size(); ++n) {
        ASSERT_TRUE(fast_block_applies(cases[n].first)) << "case " << n;
        EXPECT_TRUE(agrees(cases[n].first, cases[n].second, "case " + std::to_string(n)));
    }
}

// Random states (small and full-range fields; steps uniform, near the bound
// and tiny) and random blocks of loud, quiet and extreme samples.
TEST(FastBlock, MatchesThePlainUpdateOnRandomStates) {
    const std::uint64_t seed = test_seed(1);
    SCOPED_TRACE(seed_note(seed));
    synth::random_source random{seed};
    const auto any = [&] { return static_cast<std::int32_t>(random.next()); };
    const std::array<std::int32_t, 4> step_ranges = {fast_step_bound - 1, 256, 64, 70000};
    for (int n = 0; n < 300'000; ++n) {
        const int shift = static_cast<int>(random.next() % 32);
        const std::int32_t range = step_ranges[static_cast<std::size_t>(n % 4)];
        const auto offset = static_cast<std::int32_t>(random.next() % static_cast<std::uint32_t>(range));
        encoder_state s{any() >> shift, any() >> shift,
                        any() >> shift, n % 4 == 1 ? fast_step_bound - 1 - offset : offset + 1,
                        any() >> shift, static_cast<std::uint32_t>(any())};
        block samples;
        for (auto& x : samples) x = static_cast<std::int16_t>(any() >> (16 + 8 * (random.next() % 2)));
        if (n % 3 == 0) samples[random.next() % 8] = random.next() % 2 ? 32767 : -32768;
        ASSERT_TRUE(agrees(s, samples, "state " + std::to_string(n)));
    }
}

// encode_block takes the fast path below the bound and the plain one from it
// on, with the same result either side.
TEST(FastBlock, PublicEncoderAgreesOnBothSidesOfTheBound) {
    EXPECT_FALSE(fast_block_applies({0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(fast_block_applies({0, 0, 0, fast_step_bound, 0, 0}));
    const block samples = {32767, -32768, 32767, -32768, 100, -100, 0, 5};
    for (const std::int32_t step : {fast_step_bound - 1, fast_step_bound}) {
        encoder_state encoded{0, 0, 0, step, 0, 0};
        encoder_state plain = encoded;
        EXPECT_EQ(encode_block(encoded, samples), plain_block(plain, samples)) << step;
        EXPECT_EQ(encoded, plain) << step;
    }
}

}  // namespace
}  // namespace nbz::testing
