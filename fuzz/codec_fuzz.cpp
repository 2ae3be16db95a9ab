// Arbitrary states, sample blocks and code words through the encoder and the
// decoder: nothing may crash or be undefined (the build runs the sanitizers),
// the step must stay in range, and from the initial condition decoding what
// was encoded must retrace the encoder's state exactly.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "nbz/step_scale_table.h"

namespace {

void check_step(const nbz::encoder_state& s) {
    if (s.step < 1 || s.step > nbz::step_max) std::abort();
}

std::array<std::int16_t, 8> block_from(FuzzedDataProvider& data) {
    std::array<std::int16_t, 8> block{};
    for (auto& sample : block) sample = data.ConsumeIntegral<std::int16_t>();
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data{bytes, size};

    // Any state at all, including ones no stream reaches.
    nbz::encoder_state any{data.ConsumeIntegral<std::int32_t>(), data.ConsumeIntegral<std::int32_t>(),
                           data.ConsumeIntegral<std::int32_t>(), data.ConsumeIntegral<std::int32_t>(),
                           data.ConsumeIntegral<std::int32_t>(), data.ConsumeIntegral<std::uint32_t>()};
    nbz::encoder_state decoded_any = any;
    std::array<std::int32_t, 8> out{};
    for (int i = 0; i < 4 && data.remaining_bytes() > 0; ++i) {
        nbz::encode_block(any, block_from(data));
        check_step(any);
        nbz::decode_block(decoded_any, data.ConsumeIntegral<std::uint32_t>(), out);
        check_step(decoded_any);
    }

    // From the initial condition, the decoder retraces the encoder.
    nbz::encoder_state encoder;
    nbz::encoder_init(encoder);
    nbz::encoder_state decoder = encoder;
    while (data.remaining_bytes() > 0) {
        const std::uint32_t word = nbz::encode_block(encoder, block_from(data));
        nbz::decode_block(decoder, word, out);
        if (encoder != decoder || out[7] != encoder.output) std::abort();
    }
    return 0;
}
