#include "fast_block.h"
#include "nbz/attributes.h"
#include "nbz/nbz.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"

namespace nbz {

void encoder_init(encoder_state& state) { state = encoder_state{0, 0, 0, initial_step, 0, 0}; }

namespace {

// Any state that the fast path does not take: the plain update, sample by
// sample. Kept out of encode_block so that the fast path's callers do not pay
// for saving the registers this loop needs.
NBZ_NOINLINE std::uint32_t encode_block_plain(encoder_state& state, std::span<const std::int16_t, 8> samples) {
    // Work on a local copy so the fields stay in registers across the block.
    encoder_state s = state;
    s.step = usable_step(s.step);
    std::uint32_t word = 0;
    for (int i = 0; i < 8; ++i) {
        const int code = quantise(wrap_sub(samples[static_cast<std::size_t>(i)], prediction(s)), s.step);
        advance(s, code);
        word |= code_bits(code, i);
    }
    state = s;
    return word;
}

}  // namespace

std::uint32_t encode_block(encoder_state& state, std::span<const std::int16_t, 8> samples) {
    return fast_block_applies(state) ? encode_block_fast(state, samples) : encode_block_plain(state, samples);
}

}  // namespace nbz
