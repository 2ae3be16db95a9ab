// Samples per second of the block encoder and decoder on realistic input.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "fast_block.h"
#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"

namespace {

// A second of tones under a changing level, with some noise: the kind of
// input that keeps the quantiser busy in every bin.
std::vector<std::int16_t> material() {
    std::vector<std::int16_t> samples(1 << 16);
    std::mt19937 random{7};
    std::uniform_real_distribution<double> noise{-1.0, 1.0};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / 44100.0;
        const double level = 0.5 + 0.45 * std::sin(t * 3.0);
        const double v = level * (0.6 * std::sin(t * 2764.6) + 0.3 * std::sin(t * 7010.0) + 0.1 * noise(random));
        samples[i] = static_cast<std::int16_t>(v * 32767.0);
    }
    return samples;
}

// Encodes the material block by block with `encode` (state, eight samples ->
// code word), as many times as the benchmark asks.
template <class Encode>
void encode_blocks(benchmark::State& bench, Encode encode) {
    const auto samples = material();
    nbz::encoder_state state;
    nbz::encoder_init(state);
    std::uint32_t sink = 0;
    for (auto _ : bench) {
        for (std::size_t b = 0; b + 8 <= samples.size(); b += 8)
            sink ^= encode(state, std::span{samples}.subspan(b).first<8>());
    }
    benchmark::DoNotOptimize(sink);
    bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(samples.size()));
}

void BM_encode_block(benchmark::State& bench) {
    encode_blocks(bench, [](nbz::encoder_state& state, std::span<const std::int16_t, 8> block) {
        return nbz::encode_block(state, block);
    });
}
BENCHMARK(BM_encode_block);

// The same blocks through the plain per-sample update and through the fast
// path with its portable finishing pass, for a side-by-side figure.
void BM_encode_block_plain_update(benchmark::State& bench) {
    encode_blocks(bench, [](nbz::encoder_state& state, std::span<const std::int16_t, 8> block) {
        std::uint32_t word = 0;
        for (int i = 0; i < 8; ++i) {
            const int code =
                nbz::quantise(nbz::wrap_sub(block[static_cast<std::size_t>(i)], nbz::prediction(state)), state.step);
            nbz::advance(state, code);
            word |= nbz::code_bits(code, i);
        }
        return word;
    });
}
BENCHMARK(BM_encode_block_plain_update);

void BM_encode_block_portable_pass(benchmark::State& bench) {
    encode_blocks(bench, [](nbz::encoder_state& state, std::span<const std::int16_t, 8> block) {
        return nbz::encode_block_fast(state, block, nbz::finishing_pass::portable);
    });
}
BENCHMARK(BM_encode_block_portable_pass);

void BM_decode_block(benchmark::State& bench) {
    const auto samples = material();
    std::vector<std::uint32_t> words;
    nbz::encoder_state state;
    nbz::encoder_init(state);
    for (std::size_t b = 0; b + 8 <= samples.size(); b += 8)
        words.push_back(nbz::encode_block(state, std::span{samples}.subspan(b).first<8>()));
    std::array<std::int32_t, 8> out{};
    std::int32_t sink = 0;
    for (auto _ : bench) {
        nbz::encoder_init(state);
        for (const std::uint32_t w : words) {
            nbz::decode_block(state, w, out);
            sink ^= out[7];
        }
    }
    benchmark::DoNotOptimize(sink);
    bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(words.size() * 8));
}
BENCHMARK(BM_decode_block);

}  // namespace

BENCHMARK_MAIN();
