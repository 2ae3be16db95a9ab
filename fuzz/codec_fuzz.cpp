// Arbitrary states, sample blocks and code words through the encoder and the
// decoder: nothing may crash or be undefined (the build runs the sanitizers),
// the step must stay in range, the encoder (and its fast path, with each
// finishing pass) must agree with the independent reference model of the
// tests, and from the initial condition decoding what was encoded must
// retrace the encoder's state exactly. The decoder and the encoder share one
// state update, so only the reference model catches a wrong update.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "../tests/support/reference_model.h"
#include "fast_block.h"
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

// The reference model's word for one block; advances `state`.
std::uint32_t reference_block(nbz::encoder_state& state, const std::array<std::int16_t, 8>& block) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const int code = nbz::testing::reference_encode_sample(state, block[i]);
        word |= (static_cast<std::uint32_t>(code) & 0xFU) << (4 * i);
    }
    return word;
}

// Encodes one block with the codec and checks it against the model.
std::uint32_t checked_encode(nbz::encoder_state& state, const std::array<std::int16_t, 8>& block) {
    nbz::encoder_state model = state;
    model.step = nbz::usable_step(model.step);  // the encoder's documented first move
    const std::uint32_t expected = reference_block(model, block);
    if (nbz::fast_block_applies(state)) {
        for (const auto pass : {nbz::finishing_pass::portable, nbz::finishing_pass::vector}) {
            if (pass == nbz::finishing_pass::vector && !nbz::vector_pass_available()) continue;
            nbz::encoder_state fast = state;
            if (nbz::encode_block_fast(fast, block, pass) != expected || fast != model) std::abort();
        }
    }
    const std::uint32_t word = nbz::encode_block(state, block);
    if (word != expected || state != model) std::abort();
    return word;
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
        checked_encode(any, block_from(data));
        check_step(any);
        nbz::decode_block(decoded_any, data.ConsumeIntegral<std::uint32_t>(), out);
        check_step(decoded_any);
    }

    // From the initial condition, the encoder follows the model and the
    // decoder retraces the encoder.
    nbz::encoder_state encoder;
    nbz::encoder_init(encoder);
    nbz::encoder_state decoder = encoder;
    while (data.remaining_bytes() > 0) {
        const std::uint32_t word = checked_encode(encoder, block_from(data));
        nbz::decode_block(decoder, word, out);
        if (encoder != decoder || out[7] != encoder.output) std::abort();
    }
    return 0;
}
