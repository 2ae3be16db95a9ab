#include "nbz/cli/gain.h"
#include "nbz/prepare/gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace nbz::cli {
namespace {

TEST(GainFactor, ReadsDecibelsByTheCLibraryRules) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        std::optional<std::string> argument;
        double factor;
    } cases[] = {
        {std::nullopt, 1.0},
        {"0", 1.0},
        {"20", 10.0},  // exactly
        {"-6", std::pow(10.0, -0.3)},
        {"  -6dB", std::pow(10.0, -0.3)},
        {"1,5", std::pow(10.0, 0.05)},
        {"1.5", std::pow(10.0, 0.075)},
        {"abc", 1.0},
        {"", 1.0},
        {"\xE2\x88\x92"
         "6",
         1.0},  // a typographic minus is no sign
        {"inf", inf},
        {"-infinity", 0.0},
        {"1e400", inf},
    };
    for (const auto& c : cases) EXPECT_EQ(gain_factor(c.argument), c.factor) << c.argument.value_or("(none)");
    EXPECT_TRUE(std::isnan(gain_factor("nan")));
}

TEST(ScaleSample, TruncatesAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double minus_6_dB = std::pow(10.0, -0.3);
    const struct {
        std::int16_t sample;
        double gain;
        std::int16_t expected;
    } cases[] = {
        {1000, minus_6_dB, 501},
        {-1000, minus_6_dB, -501},
        {3, 0.5, 1},
        {-3, 0.5, -1},
        {4000, 10.0, 32767},
        {-4000, 10.0, -32768},
        {3276, 10.0, 32760},
        {-3277, 10.0, -32768},
        {32767, 1.0, 32767},
        {-32768, 1.0, -32768},
        {1, inf, 32767},
        {-1, inf, -32768},
        {0, inf, 0},
        {5, nan, 0},
        {5, 1e300, 32767},
        {-5, 1e300, -32768},
        {-32768, -1.0, 32767},
        {100, -0.0, 0},
        {32767, 1.0000001, 32767},
    };
    for (const auto& c : cases) EXPECT_EQ(scale_sample(c.sample, c.gain), c.expected) << c.sample << " * " << c.gain;
}

// Every sample at the gains of -6 dB and +6 dB: truncation toward zero of the
// double product, to the last bit.
TEST(ScaleSample, MatchesTheDoubleProductForEverySample) {
    for (const double gain : {std::pow(10.0, -0.3), std::pow(10.0, 0.3)}) {
        for (int s = -32768; s <= 32767; ++s) {
            const double p = std::trunc(s * gain);
            const double expected = std::fmin(std::fmax(p, -32768.0), 32767.0);
            ASSERT_EQ(scale_sample(static_cast<std::int16_t>(s), gain), static_cast<std::int16_t>(expected)) << s;
        }
    }
}

}  // namespace
}  // namespace nbz::cli
