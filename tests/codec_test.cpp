#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nbz/nbz.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"
#include "random.h"
#include "reference_model.h"
#include "signals.h"
#include "streams.h"

namespace nbz::testing {
namespace {

using block = std::array<std::int16_t, 8>;

block filled(std::int16_t v) {
    block b;
    b.fill(v);
    return b;
}

struct worked_example {
    std::string name;
    std::vector<block> blocks;
    std::vector<std::uint32_t> words;
    std::optional<encoder_state> final_state;  // only the peak is documented for some
    std::uint32_t peak;
};

void PrintTo(const worked_example& e, std::ostream* os) { *os << e.name; }

class WorkedExample : public ::testing::TestWithParam<worked_example> {};

TEST_P(WorkedExample, GivesTheDocumentedWordsAndState) {
    const worked_example& example = GetParam();
    encoder_state state = initial_state();
    for (std::size_t b = 0; b < example.blocks.size(); ++b)
        EXPECT_EQ(encode_block(state, example.blocks[b]), example.words[b]) << "block " << b;
    if (example.final_state) {
        EXPECT_EQ(state, *example.final_state);
    }
    EXPECT_EQ(state.peak, example.peak);
}

INSTANTIATE_TEST_SUITE_P(
    FromTheInitialCondition, WorkedExample,
    ::testing::Values(worked_example{"silence", {filled(0)}, {0x00000000}, encoder_state{0, 0, 0, 705, 0, 0}, 0},
                      worked_example{"ramp",
                                     {{1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}},
                                     {0x21030010},
                                     encoder_state{1279, 1201, 7389, 1201, 7390, 7390},
                                     7390},
                      worked_example{"ramp_then_silence",
                                     {{1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}, filled(0)},
                                     {0x21030010, 0xF100FD5B},
                                     encoder_state{536, 541, 525, 1040, 527, 7390},
                                     7390},
                      worked_example{"negative_full_scale",
                                     {filled(-32768)},
                                     {0x0D0DBE08},
                                     encoder_state{-1873, -5065, -30486, 2187, -30486, 32701},
                                     32701},
                      worked_example{"alternating_extremes",
                                     {{32767, -32768, 32767, -32768, 100, -100, 0, 5}},
                                     {0x20C68787},
                                     encoder_state{2126, -6688, -1160, 9639, -1159, 28892},
                                     28892},
                      worked_example{"overflowing_squares",
                                     {filled(32767), filled(-32768), filled(32767)},
                                     {0x01215117, 0xF0FF9F08, 0x110060F7},
                                     std::nullopt,
                                     38428}),
    [](const auto& info) { return info.param.name; });

TEST(WorkedExample, OverflowPeakAfterTwoBlocks) {
    encoder_state state = initial_state();
    encode_block(state, filled(32767));
    encode_block(state, filled(-32768));
    EXPECT_EQ(state.peak, 32404U);
}

TEST(EncodeBlock, RampRowsMatchSampleBySample) {
    // Rows of the ramp example: output, peak, estimate and step after each sample.
    constexpr std::array<std::array<std::int32_t, 4>, 8> rows = {{{0, 0, 0, 1792},
                                                                  {1792, 1792, 1792, 1792},
                                                                  {3360, 3360, 3360, 1568},
                                                                  {2940, 3360, 2940, 1372},
                                                                  {4897, 4897, 4896, 1372},
                                                                  {6609, 6609, 6608, 1201},
                                                                  {6984, 6984, 6983, 1201},
                                                                  {7390, 7390, 7389, 1201}}};
    encoder_state s = initial_state();
    for (int i = 0; i < 8; ++i) {
        const auto x = static_cast<std::int16_t>(1000 * (i + 1));
        advance(s, quantise(wrap_sub(x, prediction(s)), s.step));
        const auto& row = rows[static_cast<std::size_t>(i)];
        EXPECT_EQ((std::array{s.output, static_cast<std::int32_t>(s.peak), s.estimate, s.step}), row) << "sample " << i;
    }
}

TEST(EncodeBlock, SilenceWalksTheStepDownToSeven) {
    encoder_state state = initial_state();
    const std::array<std::int32_t, 6> steps_after_block = {705, 245, 86, 32, 13, 7};
    for (const std::int32_t expected : steps_after_block) {
        EXPECT_EQ(encode_block(state, filled(0)), 0U);
        EXPECT_EQ(state.step, expected);
    }
    // The 46th sample is the first at 7: sample 45 of the six blocks left it at 8.
    encoder_state s = initial_state();
    for (int i = 1; i <= 46; ++i) {
        advance(s, 0);
        EXPECT_EQ(s.step == 7, i >= 46) << "sample " << i;
    }
    for (int b = 0; b < 4; ++b) EXPECT_EQ(encode_block(state, filled(0)), 0U);
    EXPECT_EQ(state.step, 7);
}

// Block-by-block encoding is one continuous run: it matches the independent
// model sample for sample, over every kind of signal and odd lengths.
TEST(EncodeBlock, MatchesTheReferenceModelOnLongRuns) {
    for (const signal kind :
         {signal::noise, signal::full_scale_noise, signal::square, signal::sine, signal::silence, signal::bursts}) {
        for (std::uint32_t seed = 1; seed <= 6; ++seed) {
            const auto samples = make_signal(kind, 20000 + seed * 13, seed);
            encoder_state state = initial_state();
            const auto words = encode_all(samples, state);
            const reference_run expected = reference_encode(samples);
            ASSERT_EQ(words, expected.words) << "signal " << static_cast<int>(kind) << " seed " << seed;
            ASSERT_EQ(state, expected.state) << "signal " << static_cast<int>(kind) << " seed " << seed;
        }
    }
}

TEST(Quantiser, EqualsTruncatingDivisionThenClamp) {
    // Every residual near every bin edge for many steps, every residual in a
    // window for small steps, and the ends of the 32-bit range.
    std::vector<std::int32_t> steps;
    for (std::int32_t s = 1; s <= 300; ++s) steps.push_back(s);
    for (std::int32_t s = 301; s < step_max; s = s + s / 7 + 1) steps.push_back(s);
    steps.push_back(step_max - 1);
    steps.push_back(step_max);
    for (const std::int32_t step : steps) {
        std::vector<std::int64_t> residuals = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
        for (std::int64_t k = -9; k <= 9; ++k)
            for (std::int64_t d = -2; d <= 2; ++d) residuals.push_back(k * step + d);
        if (step <= 300)
            for (std::int64_t r = -9 * step - 5; r <= 9 * step + 5; ++r) residuals.push_back(r);
        for (const std::int64_t r64 : residuals) {
            const auto r = static_cast<std::int32_t>(r64);
            ASSERT_EQ(quantise(r, step), reference_code(r, step)) << "residual " << r << " step " << step;
        }
    }
}

TEST(Quantiser, EqualsDivisionOnRandomPairs) {
    const std::uint64_t seed = test_seed(1);
    SCOPED_TRACE(seed_note(seed));
    synth::random_source random{seed};
    const auto any = [&] { return static_cast<std::int32_t>(random.next()); };
    const auto step_of = [&] { return static_cast<std::int32_t>(random.next() % step_max) + 1; };
    for (int i = 0; i < 2'000'000; ++i) {
        const std::int32_t step = i % 2 ? step_of() : step_of() % 5000 + 1;
        const std::int32_t r = i % 3 ? any() : any() % (10 * step);
        ASSERT_EQ(quantise(r, step), reference_code(r, step)) << "residual " << r << " step " << step;
    }
}

TEST(Quantiser, BinEdges) {
    const std::int32_t step = 1792;
    const std::array<std::pair<std::int32_t, int>, 8> cases = {{{-8 * step, -8},
                                                                {-8 * step - 100000, -8},
                                                                {8 * step, 7},
                                                                {7 * step, 7},
                                                                {step - 1, 0},
                                                                {-step + 1, 0},
                                                                {-360, 0},
                                                                {-step, -1}}};
    for (const auto& [residual, code] : cases) EXPECT_EQ(quantise(residual, step), code) << residual;
}

TEST(StepUpdate, IsCappedAndDefinedUnderEndlessGrowth) {
    // Codes of 7 grow the step by half each sample; it must stop at the cap.
    encoder_state s = initial_state();
    for (int i = 0; i < 200; ++i) {
        advance(s, i % 2 ? 7 : -8);
        ASSERT_LE(s.step, step_max);
    }
    EXPECT_EQ(s.step, step_max);
    EXPECT_EQ(next_step(step_max, 7), step_max);
    EXPECT_EQ(next_step(1, 0), 1);
    EXPECT_EQ(next_step(8, 0), 7);
}

TEST(EncodeBlock, StatesOutsideTheReachableRangeAreSafe) {
    // States no stream reaches: every call must stay defined (the sanitizer
    // build checks this) and leave the step in range.
    const std::array<encoder_state, 5> states = {{{0, 0, 0, 0, 0, 0},
                                                  {0, 0, 0, -5, 0, 0},
                                                  {0, 0, 0, INT32_MAX, 0, 0},
                                                  {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MIN, 0},
                                                  {INT32_MIN, INT32_MAX, INT32_MIN, 7, INT32_MAX, UINT32_MAX}}};
    for (encoder_state s : states) {
        encode_block(s, filled(-32768));
        encode_block(s, filled(32767));
        EXPECT_GE(s.step, 1);
        EXPECT_LE(s.step, step_max);
    }
}

// From 16-bit input the step never comes near its cap, so the cap never
// changes what the encoder writes from PCM.
TEST(EncodeBlock, StepStaysFarBelowTheCapOnHarshInput) {
    std::int32_t largest = 0;
    for (const signal kind : {signal::full_scale_noise, signal::square, signal::bursts}) {
        for (std::uint32_t seed = 1; seed <= 20; ++seed) {
            encoder_state state = initial_state();
            const auto samples = make_signal(kind, 8000, seed);
            for (std::size_t start = 0; start < samples.size(); start += 8) {
                encode_block(state, std::span{samples}.subspan(start).first<8>());
                largest = std::max(largest, state.step);
            }
        }
    }
    EXPECT_LT(largest, step_max / 100);
}

}  // namespace
}  // namespace nbz::testing
