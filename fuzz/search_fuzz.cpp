// Arbitrary widths and samples through the search encoder: nothing may
// crash or be undefined, every block hands back at most the words it may,
// the stream has one word per block, decoding it retraces the encoder's
// committed state, and every kernel this processor runs gives the words of
// the reference kernel.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/search_encoder.h"
#include "search/encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data{bytes, size};
    const int width = data.ConsumeIntegralInRange(-4, nbz::search_width_max + 4);
    const nbz::search_encoder_ptr reference = nbz::search_create(width, nbz::search_kernel::reference);
    std::vector<nbz::search_encoder_ptr> others;
    for (int k = 1; k <= static_cast<int>(nbz::search_widest_kernel()); ++k)
        others.push_back(nbz::search_create(width, static_cast<nbz::search_kernel>(k)));
    std::vector<std::uint32_t> words;
    std::array<std::uint32_t, nbz::search_max_words> out{};
    std::array<std::uint32_t, nbz::search_max_words> other_out{};
    std::size_t blocks = 0;
    while (data.remaining_bytes() > 0) {
        std::array<std::int16_t, 8> block{};
        for (auto& s : block) s = data.ConsumeIntegral<std::int16_t>();
        ++blocks;
        const std::size_t n = nbz::search_encode_block(*reference, block, out);
        if (n > nbz::search_max_words) std::abort();
        for (const auto& other : others)
            if (nbz::search_encode_block(*other, block, other_out) != n ||
                !std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), other_out.begin()))
                std::abort();
        words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::size_t n = nbz::search_finish(*reference, out);
    for (const auto& other : others)
        if (nbz::search_finish(*other, other_out) != n ||
            !std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), other_out.begin()))
            std::abort();
    words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    if (words.size() != blocks) std::abort();

    nbz::encoder_state decoder;
    nbz::encoder_init(decoder);
    std::array<std::int32_t, 8> reconstructed{};
    for (const std::uint32_t word : words) nbz::decode_block(decoder, word, reconstructed);
    if (decoder != reference->committed) std::abort();
    return 0;
}
