#pragma once
// Whole inputs through the codec, for the tests: the encoder, the search
// encoder and the decoder, block after block.

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "nbz/search_encoder.h"

namespace nbz {

inline std::ostream& operator<<(std::ostream& os, const encoder_state& s) {
    return os << "{delta " << s.delta << ", delta_prev " << s.delta_prev << ", estimate " << s.estimate << ", step "
              << s.step << ", output " << s.output << ", peak " << s.peak << "}";
}

}  // namespace nbz

namespace nbz::testing {

inline encoder_state initial_state() {
    encoder_state s;
    encoder_init(s);
    return s;
}

// The block of `samples` from `start`, zero where they end.
inline std::array<std::int16_t, 8> block_at(std::span<const std::int16_t> samples, std::size_t start) {
    std::array<std::int16_t, 8> block{};
    for (std::size_t i = 0; i < 8 && start + i < samples.size(); ++i) block[i] = samples[start + i];
    return block;
}

// Encodes `samples` (zero-filled to whole blocks) with the codec.
inline std::vector<std::uint32_t> encode_all(std::span<const std::int16_t> samples, encoder_state& state) {
    std::vector<std::uint32_t> words;
    for (std::size_t start = 0; start < samples.size(); start += 8)
        words.push_back(encode_block(state, block_at(samples, start)));
    return words;
}

// The stream that `encoder` gives for `samples` (zero-filled to whole
// blocks), finished, as nbzhq writes it for raw samples.
inline std::vector<std::uint32_t> search_stream(search_encoder& encoder, std::span<const std::int16_t> samples) {
    std::vector<std::uint32_t> stream;
    std::array<std::uint32_t, search_max_words> words{};
    const auto take = [&](std::size_t n) {
        stream.insert(stream.end(), words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n));
    };
    for (std::size_t start = 0; start < samples.size(); start += 8)
        take(search_encode_block(encoder, block_at(samples, start), words));
    take(search_finish(encoder, words));
    return stream;
}

// The same from a new search encoder.
inline std::vector<std::uint32_t> search_all(std::span<const std::int16_t> samples, int width = search_default_width,
                                             search_kernel kernel = search_widest_kernel()) {
    return search_stream(*search_create(width, kernel), samples);
}

// The decoder's output for `words`, from `state` on (which it leaves after
// the last word).
inline std::vector<std::int32_t> decode_all(std::span<const std::uint32_t> words, encoder_state& state) {
    std::vector<std::int32_t> out;
    std::array<std::int32_t, 8> block{};
    for (const std::uint32_t w : words) {
        decode_block(state, w, block);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// `values` saturated to 16 bits, as nbzdec writes them.
inline std::vector<std::int16_t> saturated(std::span<const std::int32_t> values) {
    std::vector<std::int16_t> out;
    out.reserve(values.size());
    for (const std::int32_t v : values) out.push_back(static_cast<std::int16_t>(std::clamp(v, -32768, 32767)));
    return out;
}

}  // namespace nbz::testing
