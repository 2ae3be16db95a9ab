// The search handle: nbzhq's encoder fed any number of samples at a time.
// Whole blocks go to the search as they fill; up to seven samples wait for
// the next put, and the end completes them with zero samples, as nbzhq does.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "nbz/decoder.h"
#include "nbz/nbz_c.h"
#include "nbz/search_encoder.h"
#include "support.h"

struct nbz_search {
    nbz::search_encoder_ptr encoder;
    std::array<std::int16_t, 8> waiting{};  // the samples of an unfinished block
    std::size_t waiting_count = 0;
    std::uint64_t samples = 0;     // put so far
    std::uint64_t words = 0;       // written so far
    nbz::encoder_state decoder{};  // the words written, replayed: its peak is the level
    bool ended = false;
};

namespace {

constexpr std::size_t commit_bytes = nbz::search_commit_samples / 2;  // 4 bytes per 8 samples
constexpr std::size_t end_bytes = 4 * nbz::search_max_words;

// Searches one block and writes the words that became final at `stream`;
// returns how many bytes.
std::size_t search_block(nbz_search& s, std::span<const std::int16_t, 8> block, std::uint8_t* stream) {
    std::array<std::uint32_t, nbz::search_max_words> words{};
    const std::size_t count = nbz::search_encode_block(*s.encoder, block, words);
    std::array<std::int32_t, 8> replayed{};
    for (std::size_t w = 0; w < count; ++w) {
        nbz::c::store_word(stream + 4 * w, words[w]);
        nbz::decode_block(s.decoder, words[w], replayed);
    }
    s.words += count;
    return 4 * count;
}

}  // namespace

int nbz_search_new(int width, nbz_search** search) {
    return nbz::c::guarded([&] {
        if (search == nullptr) return NBZ_ERROR_NULL_POINTER;
        if (width < 1 || width > nbz::search_width_max) return NBZ_ERROR_WIDTH;
        auto made = std::make_unique<nbz_search>();
        made->encoder = nbz::search_create(width);
        nbz::encoder_init(made->decoder);
        *search = made.release();
        return NBZ_OK;
    });
}

int nbz_search_put(nbz_search* search, const int16_t* pcm, size_t samples, uint8_t* stream, size_t capacity,
                   size_t* written) {
    return nbz::c::guarded([&] {
        if (search == nullptr || !nbz::c::given(pcm, samples) || !nbz::c::given(stream, capacity))
            return NBZ_ERROR_NULL_POINTER;
        nbz_search& s = *search;
        if (s.ended) return NBZ_ERROR_ENDED;
        const std::size_t blocks = samples / 8 + (samples % 8 + s.waiting_count) / 8;
        const std::size_t bytes = 4 * nbz::search_words_due(*s.encoder, blocks);
        if (bytes > capacity) return NBZ_ERROR_CAPACITY;

        std::size_t done = 0;
        std::size_t used = 0;
        if (s.waiting_count > 0) {  // complete the waiting block first
            used = std::min(samples, 8 - s.waiting_count);
            std::copy_n(pcm, used, s.waiting.begin() + static_cast<std::ptrdiff_t>(s.waiting_count));
            s.waiting_count += used;
            if (s.waiting_count == 8) {
                done += search_block(s, s.waiting, stream);
                s.waiting_count = 0;
            }
        }
        for (; samples - used >= 8; used += 8)
            done += search_block(s, std::span<const std::int16_t, 8>{pcm + used, 8}, stream + done);
        if (used < samples) {
            std::copy_n(pcm + used, samples - used, s.waiting.begin());
            s.waiting_count = samples - used;
        }
        s.samples += samples;
        nbz::c::store_if(written, done);  // == bytes
        return NBZ_OK;
    });
}

int nbz_search_end(nbz_search* search, uint8_t* stream, size_t capacity, size_t* written, uint32_t* level) {
    return nbz::c::guarded([&] {
        if (search == nullptr || !nbz::c::given(stream, capacity)) return NBZ_ERROR_NULL_POINTER;
        nbz_search& s = *search;
        if (s.ended) return NBZ_ERROR_ENDED;
        // Every word of the stream that has not been written yet.
        const std::uint64_t total_words = nbz_stream_bytes(s.samples) / 4;
        const auto bytes = static_cast<std::size_t>(4 * (total_words - s.words));
        if (bytes > capacity) return NBZ_ERROR_CAPACITY;

        std::size_t done = 0;
        if (s.waiting_count > 0) {
            std::fill(s.waiting.begin() + static_cast<std::ptrdiff_t>(s.waiting_count), s.waiting.end(),
                      std::int16_t{0});
            done += search_block(s, s.waiting, stream);
            s.waiting_count = 0;
        }
        std::array<std::uint32_t, nbz::search_max_words> words{};
        const std::size_t count = nbz::search_finish(*s.encoder, words);
        std::array<std::int32_t, 8> replayed{};
        for (std::size_t w = 0; w < count; ++w) {
            nbz::c::store_word(stream + done + 4 * w, words[w]);
            nbz::decode_block(s.decoder, words[w], replayed);
        }
        done += 4 * count;
        s.words += count;
        s.ended = true;
        nbz::c::store_if(written, done);  // == bytes
        nbz::c::store_if(level, s.decoder.peak);
        return NBZ_OK;
    });
}

void nbz_search_free(nbz_search* search) { delete search; }

size_t nbz_search_bound(size_t samples) {
    if (samples == 0) return end_bytes;
    return commit_bytes * (samples / nbz::search_commit_samples + (samples % nbz::search_commit_samples != 0 ? 1 : 0));
}
