#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "process.h"
#include "reference_model.h"
#include "temp_files.h"
#include "test_support.h"

namespace nbz::testing {
namespace {

std::vector<std::int32_t> decode_all(std::span<const std::uint32_t> words, encoder_state& state) {
    std::vector<std::int32_t> out;
    std::array<std::int32_t, 8> block{};
    for (const std::uint32_t w : words) {
        decode_block(state, w, block);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

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
    const std::uint32_t seed = std::random_device{}();
    std::mt19937 random{seed};
    encoder_state decoder = initial_state();
    encoder_state model = initial_state();
    std::array<std::int32_t, 8> block{};
    for (int w = 0; w < 20000; ++w) {
        const std::uint32_t word = w % 500 < 50 ? 0x77777777U : static_cast<std::uint32_t>(random());
        decode_block(decoder, word, block);
        for (int i = 0; i < 8; ++i) {
            reference_advance(model, static_cast<int>(((word >> (4 * i)) & 0xF) ^ 8) - 8);
            ASSERT_EQ(block[static_cast<std::size_t>(i)], model.output) << "seed " << seed << " word " << w;
        }
        ASSERT_EQ(decoder, model) << "seed " << seed << " word " << w;
    }
}

// The binaries: nbzdec on what nbz wrote gives the reconstruction, saturated
// to 16 bits, and exactly the report line that nbz printed.
TEST(Nbzdec, RoundTripsWhatNbzWrote) {
    std::vector<std::vector<std::int16_t>> inputs = {{}, {5}, std::vector<std::int16_t>(8, -32768)};
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        inputs.push_back(make_signal(signal::square, std::size_t{3001} * seed, seed));  // overflows
        inputs.push_back(make_signal(signal::sine, std::size_t{4003} * seed, seed));
        inputs.push_back(make_signal(signal::bursts, 70001, seed));  // crosses a chunk boundary
    }
    for (const auto& samples : inputs) {
        temp_dir dir;
        write_file(dir / "in.raw", pcm_bytes(samples));
        const process_result encoded = run_process(NBZ_BINARY, {dir / "in.raw", dir / "s.nbz"});
        const process_result decoded = run_process(NBZDEC_BINARY, {dir / "s.nbz", dir / "out.raw"});
        const reference_run expected = reference_encode(samples);
        ASSERT_EQ(encoded.status, 0);
        ASSERT_EQ(decoded.status, 0);
        EXPECT_EQ(decoded.out, encoded.out) << samples.size() << " samples";
        EXPECT_EQ(decoded.out, expected_report(expected.state.peak));
        std::vector<std::int16_t> saturated;
        for (const std::int32_t v : expected.outputs)
            saturated.push_back(static_cast<std::int16_t>(std::clamp(v, -32768, 32767)));
        EXPECT_EQ(read_file(dir / "out.raw"), pcm_bytes(saturated)) << samples.size() << " samples";
    }
}

TEST(Nbzdec, RefusesAPartialCodeWordBeforeOpeningTheOutput) {
    // An earlier output stays as it was, and an output that cannot be opened
    // would change the message if it were opened first.
    const bytes earlier(6, 0x34);
    for (const std::size_t size : {1, 2, 3, 5, 4099}) {
        for (const char* output : {"out.raw", "missing/out.raw"}) {
            temp_dir dir;
            write_file(dir / "in.nbz", bytes(size, 0x12));
            write_file(dir / "out.raw", earlier);
            const process_result run = run_process(NBZDEC_BINARY, {dir / "in.nbz", dir / output});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "Input is not a whole number of code words.\n") << output;
            EXPECT_EQ(read_file(dir / "out.raw"), earlier);
        }
    }
}

}  // namespace
}  // namespace nbz::testing
