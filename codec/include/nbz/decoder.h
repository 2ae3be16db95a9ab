#pragma once
// Replaying a code stream into the samples it reconstructs.

#include <cstdint>
#include <span>

#include "nbz/nbz.h"

namespace nbz {

// Advances `state` through the eight codes of `word` exactly as the encoder
// did when it wrote them, and stores each sample's reconstruction (`output`,
// 32-bit and unclipped) in `samples`. Decoding a stream from encoder_init
// follows the encoder's state path field for field, so the final `peak` is
// the level that the encoder reported. Any word is valid; never fails. A
// state whose step lies outside 1..step_max is first brought into that range.
void decode_block(encoder_state& state, std::uint32_t word, std::span<std::int32_t, 8> samples);

}  // namespace nbz
