#pragma once
// The per-sample advance of the state, shared by every encoder and the
// decoder so that they can never drift apart: an encoder only chooses a code,
// then calls advance() with it, exactly as the decoder does with the code it
// reads.

#include <algorithm>
#include <cstdint>

#include "nbz/nbz.h"
#include "nbz/step_scale_table.h"
#include "nbz/wrapping.h"

namespace nbz {

// What the state predicts for the next sample.
constexpr std::int32_t prediction(const encoder_state& s) {
    const std::int32_t slope = wrap_sub(s.delta, s.delta_prev);
    return wrap_add(wrap_sub(s.estimate, floor_div8(s.estimate)), slope);
}

// Advances the state by one sample whose code is `code` (-8..7); the step must
// be in 1..step_max (see usable_step). Afterwards s.output is the sample's
// reconstruction.
constexpr void advance(encoder_state& s, int code) {
    const std::int32_t slope = wrap_sub(s.delta, s.delta_prev);
    const std::int32_t new_delta = wrap_add(code * s.step, slope);  // |code * step| < 2^27: exact
    s.output = wrap_add(new_delta, wrap_sub(s.output, floor_div8(s.output)));
    s.peak = std::max(s.peak, magnitude(s.output));
    s.estimate = wrap_add(new_delta, wrap_sub(s.estimate, round_div8(s.estimate)));
    s.step = next_step(s.step, code);
    s.delta_prev = s.delta;
    s.delta = new_delta;
}

// The code in position i (0..7) of a code word, sign-extended.
constexpr int code_at(std::uint32_t word, int i) { return static_cast<int>(((word >> (4 * i)) & 0xFU) ^ 0x8U) - 8; }

// A code as the nibble it occupies in position i of a code word.
constexpr std::uint32_t code_bits(int code, int i) { return (static_cast<std::uint32_t>(code) & 0xFU) << (4 * i); }

}  // namespace nbz
