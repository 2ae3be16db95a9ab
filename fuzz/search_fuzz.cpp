// Arbitrary widths, sample blocks and padding through the search encoder:
// nothing may crash or be undefined, every block hands back at most the
// words it may, the stream has one word per block, decoding it retraces the
// encoder's committed state and reported error exactly, and the plain kernel
// gives the same words as the widest this processor runs.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/search_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data{bytes, size};
    auto encoder = std::make_unique<nbz::search_encoder>();
    auto plain = std::make_unique<nbz::search_encoder>();
    const int width = data.ConsumeIntegralInRange(-4, nbz::search_width_max + 4);
    nbz::search_init(*encoder, width);
    nbz::search_init(*plain, width, nbz::search_kernel::plain);
    std::array<std::uint32_t, nbz::search_max_words> plain_out{};
    std::vector<std::int16_t> samples;
    std::vector<int> counted;
    std::vector<std::uint32_t> words;
    std::array<std::uint32_t, nbz::search_max_words> out{};
    while (data.remaining_bytes() > 0) {
        std::array<std::int16_t, 8> block{};
        for (auto& s : block) s = data.ConsumeIntegral<std::int16_t>();
        const int count = data.ConsumeIntegralInRange(0, 8);
        samples.insert(samples.end(), block.begin(), block.end());
        counted.push_back(count);
        const std::size_t n = nbz::search_encode_block(*encoder, block, out, count);
        if (n > nbz::search_max_words) std::abort();
        if (nbz::search_encode_block(*plain, block, plain_out, count) != n ||
            !std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), plain_out.begin()))
            std::abort();
        words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::size_t n = nbz::search_finish(*encoder, out);
    words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    if (words.size() != counted.size()) std::abort();

    nbz::encoder_state decoder;
    nbz::encoder_init(decoder);
    std::array<std::int32_t, 8> reconstructed{};
    double noise = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
        nbz::decode_block(decoder, words[w], reconstructed);
        for (int i = 0; i < counted[w]; ++i) {
            const double d = std::clamp(reconstructed[static_cast<std::size_t>(i)], -32768, 32767) -
                             static_cast<double>(samples[8 * w + static_cast<std::size_t>(i)]);
            noise += d * d;
        }
    }
    if (decoder != encoder->committed || noise != encoder->noise_energy) std::abort();
    return 0;
}
