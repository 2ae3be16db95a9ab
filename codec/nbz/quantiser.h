#pragma once
// Choosing a sample's code from its prediction residual.

#include <cstdint>

#include "nbz/wrapping.h"

namespace nbz {

// The code for `residual` with quantiser step `step` (1..step_max): the
// quotient residual / step truncated toward zero, then clamped to -8..7. So
// every residual strictly between -step and step gives 0, and one of 8 * step
// or more gives 7.
//
// Found without dividing: the quotient's magnitude is the number of
// multiples k * step (k = 1..7, and k = 8 for negative residuals, whose clamp
// is at -8) that the residual's magnitude reaches. The comparisons are
// independent of each other, so they run side by side.
constexpr int quantise(std::int32_t residual, std::int32_t step) {
    const std::uint32_t r = magnitude(residual);
    const auto s = static_cast<std::uint32_t>(step);
    const bool negative = residual < 0;
    const int count = int{r >= s} + int{r >= 2 * s} + int{r >= 3 * s} + int{r >= 4 * s} + int{r >= 5 * s} +
                      int{r >= 6 * s} + int{r >= 7 * s} + int{negative && r >= 8 * s};
    return negative ? -count : count;
}

}  // namespace nbz
