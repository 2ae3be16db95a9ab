// The conversion of decoded sound to the encoder's 16-bit samples.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "nbz/prepare/pcm16.h"

namespace nbz::testing {
namespace {

TEST(Conversion, GainsThenRoundsAndSaturatesOnce) {
    const struct {
        double value, gain;
        std::int16_t pcm;
    } cases[] = {
        {100 / 32768.0, 1, 100},
        {0.5 / 32768, 1, 1},
        {-0.5 / 32768, 1, -1},
        {0.49 / 32768, 1, 0},
        {0.3 / 32768, 10, 3},
        {1.0, 1, 32767},
        {-1.0, 1, -32768},
        {0.75, 2, 32767},
        {-3.0, 0.25, -24576},
        {NAN, 1, 0},
        {INFINITY, 1, 32767},
        {0.1, NAN, 0},
        {32767.6 / 32768, 1, 32767},  // rounds past full scale: saturated, not wrapped
        {2.5 / 32768, 1, 3},
        {-2.5 / 32768, 1, -3},
        {0.49999999999999994 / 32768, 1, 0},
        {32766.5 / 32768, 1, 32767},
        {-32767.5 / 32768, 1, -32768},
    };
    for (const auto& c : cases) EXPECT_EQ(nbz::to_pcm16(c.value, c.gain), c.pcm) << c.value << " x " << c.gain;
}

}  // namespace
}  // namespace nbz::testing
