// A program outside the project, built against the installed package. It is
// also the README's library example, which the package test checks word for
// word, so the example always compiles and runs.

#include <array>
#include <cstdint>
#include <cstdio>

#include "nbz/decoder.h"
#include "nbz/nbz.h"

int main() {
    // Encoding: one state for the whole stream, one call per eight samples.
    const std::array<std::int16_t, 8> samples = {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000};
    nbz::encoder_state encoder;
    nbz::encoder_init(encoder);
    const std::uint32_t word = nbz::encode_block(encoder, samples);

    // Decoding: a state of its own, from the same initial condition.
    nbz::encoder_state decoder;
    nbz::encoder_init(decoder);
    std::array<std::int32_t, 8> decoded{};
    nbz::decode_block(decoder, word, decoded);

    std::printf("word %08X, decoded", static_cast<unsigned>(word));
    for (const std::int32_t sample : decoded) std::printf(" %d", static_cast<int>(sample));
    std::printf(", level %u\n", static_cast<unsigned>(decoder.peak));
    // Prints: word 21030010, decoded 0 1792 3360 2940 4897 6609 6984 7390, level 7390
    return decoder.peak == encoder.peak ? 0 : 1;
}
