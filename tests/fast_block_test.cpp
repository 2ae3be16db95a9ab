// The fast block path against the plain per-sample update (quantise, then
// advance), which the decoder and the search share: same word, same state,
// with either finishing pass.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fast_block.h"
#include "nbz/nbz.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"
#include "test_support.h"

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

std::vector<finishing_pass> passes() {
    std::vector<finishing_pass> all = {finishing_pass::portable};
    if (vector_pass_available()) all.push_back(finishing_pass::vector);
    return all;
}

// Checks one block through every pass; returns false on the first mismatch.
bool agrees(const encoder_state& start, const block& samples, const std::string& context) {
    encoder_state plain = start;
    const std::uint32_t expected = plain_block(plain, samples);
    for (const finishing_pass pass : passes()) {
        encoder_state fast = start;
        const std::uint32_t word = encode_block_fast(fast, samples, pass);
        const char* name = pass == finishing_pass::vector ? "vector" : "portable";
        EXPECT_EQ(word, expected) << context << " pass " << name;
        EXPECT_EQ(fast, plain) << context << " pass " << name;
        if (word != expected || fast != plain) return false;
    }
    return true;
}

block filled(std::int16_t v) {
    block b;
    b.fill(v);
    return b;
}

// A state that predicts 0, so that the first sample is its own residual.
encoder_state predicting_zero(std::int32_t step) { return {0, 0, 0, step, 0, 0}; }

struct edge_case {
    const char* name;
    encoder_state state;
    block samples;
};

// Residuals on and beside every bin edge (k * step and its neighbours, both
// signs, the -8 clamp included), the extremes of the step range, and states
// whose prediction wraps.
TEST(FastBlock, MatchesThePlainUpdateOnEdgeCases) {
    std::vector<edge_case> cases = {
        {"silence_from_init", predicting_zero(initial_step), filled(0)},
        {"step_one", predicting_zero(1), {1, -1, 2, -2, 8, -8, 9, -9}},
        {"largest_fast_step_growing",
         predicting_zero(fast_step_bound - 1),
         {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768}},
        {"wrapping_prediction", {INT32_MAX, INT32_MIN, INT32_MAX, 7, INT32_MIN, 0}, filled(-32768)},
        {"wrapping_the_other_way", {INT32_MIN, INT32_MAX, INT32_MIN, 3, INT32_MAX, UINT32_MAX}, filled(32767)},
        {"estimate_on_rounding_ties", {0, 0, -4, 100, -4, 0}, {-4, 4, -12, 12, 0, 3, -3, 5}},
    };
    for (const std::int32_t step : {1, 2, 3, 7, 100, 1000, 4095}) {
        for (std::int32_t k = 0; k <= 9; ++k) {
            for (std::int32_t off = -1; off <= 1; ++off) {
                const std::int32_t r = k * step + off;
                if (r > 32767) continue;
                const auto x = static_cast<std::int16_t>(r);
                cases.push_back({"bin_edge", predicting_zero(step), {x, 0, 0, 0, 0, 0, 0, 0}});
                cases.push_back(
                    {"bin_edge", predicting_zero(step), {static_cast<std::int16_t>(-r), 0, 0, 0, 0, 0, 0, 0}});
            }
        }
    }
    for (const edge_case& c : cases) {
        ASSERT_TRUE(fast_block_applies(c.state)) << c.name;
        EXPECT_TRUE(agrees(c.state, c.samples, c.name));
    }
}

// Random states of every kind, with the step drawn uniformly, near the fast
// path's bound and at the bottom of its range, and random blocks of loud,
// quiet and extreme samples.
TEST(FastBlock, MatchesThePlainUpdateOnRandomStates) {
    const std::uint32_t seed = std::random_device{}();
    std::mt19937 random{seed};
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::uniform_int_distribution<std::int32_t> any{INT32_MIN, INT32_MAX};
    std::uniform_int_distribution<std::int32_t> sample{-32768, 32767};
    for (int n = 0; n < 300'000; ++n) {
        const int shift = static_cast<int>(random() % 32);  // small fields as well as full-range ones
        encoder_state s{any(random) >> shift, any(random) >> shift,
                        any(random) >> shift, 0,
                        any(random) >> shift, static_cast<std::uint32_t>(any(random))};
        switch (n % 4) {
            case 0:
                s.step = static_cast<std::int32_t>(random() % fast_step_bound) + 1;
                break;
            case 1:
                s.step = fast_step_bound - 1 - static_cast<std::int32_t>(random() % 256);
                break;
            case 2:
                s.step = static_cast<std::int32_t>(random() % 64) + 1;
                break;
            default:
                s.step = static_cast<std::int32_t>(random() % 70000) + 1;
                break;
        }
        if (!fast_block_applies(s)) s.step = fast_step_bound - 1;
        block samples;
        for (auto& x : samples) {
            const std::uint32_t kind = random() % 4;
            x = static_cast<std::int16_t>(kind == 0   ? sample(random)
                                          : kind == 1 ? sample(random) / 256
                                          : kind == 2 ? (random() % 2 ? 32767 : -32768)
                                                      : 0);
        }
        ASSERT_TRUE(agrees(s, samples, "state " + std::to_string(n)));
    }
}

// encode_block takes the fast path exactly for the states that it accepts
// and agrees with the plain update on both sides of the bound.
TEST(FastBlock, BoundIsWhereTheStepStartsAt2To18) {
    EXPECT_TRUE(fast_block_applies(predicting_zero(1)));
    EXPECT_TRUE(fast_block_applies(predicting_zero(fast_step_bound - 1)));
    EXPECT_FALSE(fast_block_applies(predicting_zero(fast_step_bound)));
    EXPECT_FALSE(fast_block_applies(predicting_zero(0)));
    for (const std::int32_t step : {fast_step_bound - 1, fast_step_bound, fast_step_bound + 1}) {
        encoder_state plain = predicting_zero(step);
        encoder_state public_path = plain;
        const block samples = {32767, -32768, 32767, -32768, 100, -100, 0, 5};
        EXPECT_EQ(encode_block(public_path, samples), plain_block(plain, samples)) << step;
        EXPECT_EQ(public_path, plain) << step;
    }
}

}  // namespace
}  // namespace nbz::testing
