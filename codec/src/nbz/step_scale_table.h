#pragma once
// The adaptive step: how each code rescales the quantiser step.

#include <algorithm>
#include <array>
#include <cstdint>

namespace nbz {

// Step multipliers in units of 1/128, indexed by code + 8. A code of 0 means
// the step was too coarse and shrinks it to 7/8; magnitudes 1..4 fit and keep
// it; 5 and 6 are near the edge and grow it by 1/16; -8, -7 and 7 are at or
// past the clamp and grow it by half.
inline constexpr std::array<std::uint8_t, 16> step_scale_table = {
    192, 192, 136, 136, 128, 128, 128, 128,  // codes -8..-1
    112, 128, 128, 128, 128, 136, 136, 192,  // codes  0..7
};

inline constexpr std::int32_t initial_step = 2048;

// The largest step whose update, step * 192 + 127, stays within int32. The
// step never grows past it, which also keeps 8 * step and code * step exact.
inline constexpr std::int32_t step_max = (INT32_MAX - 127) / 192;

// The step after a sample with `code`: the scaled product divided by 128 and
// rounded up, capped at step_max. Every step from 1 to 7 survives a code of
// 0 ((7 * 112 + 127) >> 7 = 7), so the step never falls from 2048 below 7.
constexpr std::int32_t next_step(std::int32_t step, int code) {
    const auto scaled = static_cast<std::uint32_t>(step) * step_scale_table[static_cast<unsigned>(code + 8)] + 127U;
    return std::min(static_cast<std::int32_t>(scaled >> 7), step_max);
}

// Brings any step into 1..step_max, the range in which next_step, the
// quantiser and code * step are exact. Steps reached from the initial
// condition are already in it.
constexpr std::int32_t usable_step(std::int32_t step) { return std::clamp(step, std::int32_t{1}, step_max); }

}  // namespace nbz
