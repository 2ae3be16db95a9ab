#pragma once
// A faster way to encode one block, exact for the states it accepts.
//
// encode_block uses it whenever fast_block_applies(state) and the plain
// per-sample loop otherwise. It gives the same word and the same state as
// the plain loop; it differs only in how it gets there: the quantiser and
// the prediction are fused into a shorter dependency chain, and the codes
// and the peak are worked out after the block from what the chain left.
// Not installed: this is how the library is built, not part of its API.

#include <cstdint>
#include <span>

#include "nbz/nbz.h"

namespace nbz {

// The fast path takes blocks whose step starts below this bound. Eight
// samples can then grow the step at most 1.5^8-fold, so it never reaches the
// cap (step_max) within the block and stays exact in single precision.
inline constexpr std::int32_t fast_step_bound = std::int32_t{1} << 18;

// Whether encode_block_fast may encode a block from `state`.
constexpr bool fast_block_applies(const encoder_state& state) {
    return state.step >= 1 && state.step < fast_step_bound;
}

// How the codes and the peak are found after the block's chain has run.
enum class finishing_pass {
    portable,  // plain C++, for any processor
    vector,    // 256-bit vector instructions; only where vector_pass_available()
};

// Whether this processor can run finishing_pass::vector.
bool vector_pass_available();

// Encodes one block exactly as encode_block does, from a state with
// fast_block_applies(state), finishing with the given pass.
std::uint32_t encode_block_fast(encoder_state& state, std::span<const std::int16_t, 8> samples, finishing_pass pass);

// The same, with the vector pass where the processor has it.
std::uint32_t encode_block_fast(encoder_state& state, std::span<const std::int16_t, 8> samples);

}  // namespace nbz
