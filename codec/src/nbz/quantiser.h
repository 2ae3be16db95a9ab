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
// independent of each other, so they run side by side, and the sign is
// applied arithmetically so that no branch depends on the data.
constexpr int quantise(std::int32_t residual, std::int32_t step) {
    const std::uint32_t r = magnitude(residual);
    const auto s = static_cast<std::uint32_t>(step);
    const std::uint32_t negative = static_cast<std::uint32_t>(residual) >> 31;
    const auto reaches = [r, s](std::uint32_t k) { return std::uint32_t{r >= k * s}; };
    const std::uint32_t count = ((reaches(1) + reaches(2)) + (reaches(3) + reaches(4))) +
                                ((reaches(5) + reaches(6)) + (reaches(7) + (negative & reaches(8))));
    const std::uint32_t sign_mask = 0U - negative;
    return static_cast<int>((count ^ sign_mask) - sign_mask);
}

}  // namespace nbz
