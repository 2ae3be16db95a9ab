#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "random.h"
#include "reference_model.h"
#include "signals.h"
#include "streams.h"

namespace nbz::testing {
namespace {

// Decoding what the encoder wrote reproduces the encoder's output at every
// sample and its whole final state.
TEST(DecodeBlock, ReplaysTheEncodersStatePath) {
    for (const signal kind :
         {signal::noise, signal::full_scale_noise, signal::square, signal::sine, signal::silence, signal::bursts}) {
        for (std::uint32_t seed = 1; seed <= 8; ++seed) {
            const auto samples = make_signal(kind, 5000 + seed * 7, seed);
            const reference_run expected = reference_encode(samples);
            encoder_state encoder = initial_state();
            const auto words = encode_all(samples, encoder);
            encoder_state decoder = initial_state();
            const auto outputs = decode_all(words, decoder);
            ASSERT_EQ(outputs, expected.outputs) << "signal " << static_cast<int>(kind) << " seed " << seed;
            ASSERT_EQ(decoder, encoder) << "signal " << static_cast<int>(kind) << " seed " << seed;
        }
    }
}

// Any word is a valid stream: arbitrary codes, including runs that drive the
// step to its cap, decode as the model replays them.
TEST(DecodeBlock, AnyCodesFollowTheModel) {
    const std::uint64_t seed = test_seed(1);
    SCOPED_TRACE(seed_note(seed));
    synth::random_source random{seed};
    encoder_state decoder = initial_state();
    encoder_state model = initial_state();
    std::array<std::int32_t, 8> block{};
    for (int w = 0; w < 20000; ++w) {
        const std::uint32_t word = w % 500 < 50 ? 0x77777777U : static_cast<std::uint32_t>(random.next());
        decode_block(decoder, word, block);
        for (int i = 0; i < 8; ++i) {
            reference_advance(model, static_cast<int>(((word >> (4 * i)) & 0xF) ^ 8) - 8);
            ASSERT_EQ(block[static_cast<std::size_t>(i)], model.output) << "word " << w;
        }
        ASSERT_EQ(decoder, model) << "word " << w;
    }
}

}  // namespace
}  // namespace nbz::testing
