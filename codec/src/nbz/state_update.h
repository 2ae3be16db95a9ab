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

// The parts of the next state that do not depend on the code, so that an
// encoder trying several codes from one state computes them once.
struct advance_basis {
    std::int32_t slope;            // delta - delta_prev
    std::int32_t output_leaked;    // output less an eighth, rounded down
    std::int32_t estimate_leaked;  // estimate less an eighth, rounded to nearest
};

constexpr advance_basis basis_of(const encoder_state& s) {
    return {wrap_sub(s.delta, s.delta_prev), wrap_sub(s.output, floor_div8(s.output)),
            wrap_sub(s.estimate, round_div8(s.estimate))};
}

// The increment that `code` adds to the estimate and the output.
constexpr std::int32_t delta_for(const encoder_state& s, const advance_basis& basis, int code) {
    return wrap_add(code * s.step, basis.slope);  // |code * step| < 2^27: exact
}

// The reconstruction that `code` would give, without advancing: what an
// encoder needs to weigh a code before it commits to one.
constexpr std::int32_t output_for(const encoder_state& s, const advance_basis& basis, int code) {
    return wrap_add(delta_for(s, basis, code), basis.output_leaked);
}

// Advances the state by one sample whose code is `code` (-8..7), given the
// state's basis; the step must be in 1..step_max (see usable_step).
// Afterwards s.output is the sample's reconstruction.
constexpr void advance(encoder_state& s, const advance_basis& basis, int code) {
    const std::int32_t new_delta = delta_for(s, basis, code);
    s.output = output_for(s, basis, code);
    s.peak = std::max(s.peak, magnitude(s.output));
    s.estimate = wrap_add(new_delta, basis.estimate_leaked);
    s.step = next_step(s.step, code);
    s.delta_prev = s.delta;
    s.delta = new_delta;
}

// Advances the state by one sample whose code is `code`, as above.
constexpr void advance(encoder_state& s, int code) { advance(s, basis_of(s), code); }

// The code in position i (0..7) of a code word, sign-extended.
constexpr int code_at(std::uint32_t word, int i) { return static_cast<int>(((word >> (4 * i)) & 0xFU) ^ 0x8U) - 8; }

// A code as the nibble it occupies in position i of a code word.
constexpr std::uint32_t code_bits(int code, int i) { return (static_cast<std::uint32_t>(code) & 0xFU) << (4 * i); }

}  // namespace nbz
