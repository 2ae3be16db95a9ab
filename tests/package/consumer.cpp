// A program outside the project, built against the installed package: it
// encodes and decodes one block through the public headers.

#include <array>
#include <cstdio>

#include "nbz/decoder.h"
#include "nbz/nbz.h"

int main() {
    const std::array<std::int16_t, 8> samples = {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000};
    nbz::encoder_state encoder;
    nbz::encoder_init(encoder);
    const std::uint32_t word = nbz::encode_block(encoder, samples);
    nbz::encoder_state decoder;
    nbz::encoder_init(decoder);
    std::array<std::int32_t, 8> out{};
    nbz::decode_block(decoder, word, out);
    std::printf("%08X %u %d\n", static_cast<unsigned>(word), static_cast<unsigned>(decoder.peak), out[7]);
    return word == 0x21030010 && decoder.peak == 7390 && out[7] == 7390 ? 0 : 1;
}
