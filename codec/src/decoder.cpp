#include "nbz/decoder.h"

#include "nbz/state_update.h"

namespace nbz {

void decode_block(encoder_state& state, std::uint32_t word, std::span<std::int32_t, 8> samples) {
    encoder_state s = state;
    s.step = usable_step(s.step);
    for (int i = 0; i < 8; ++i) {
        advance(s, code_at(word, i));
        samples[static_cast<std::size_t>(i)] = s.output;
    }
    state = s;
}

}  // namespace nbz
