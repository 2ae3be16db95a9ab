// Blocks and whole buffers: the encoder and the decoder from a C state.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "nbz/nbz_c.h"
#include "support.h"

namespace {

// The C record is the C++ one, field for field.
static_assert(sizeof(nbz_state) == sizeof(nbz::encoder_state));
static_assert(offsetof(nbz_state, delta) == offsetof(nbz::encoder_state, delta));
static_assert(offsetof(nbz_state, delta_prev) == offsetof(nbz::encoder_state, delta_prev));
static_assert(offsetof(nbz_state, estimate) == offsetof(nbz::encoder_state, estimate));
static_assert(offsetof(nbz_state, step) == offsetof(nbz::encoder_state, step));
static_assert(offsetof(nbz_state, output) == offsetof(nbz::encoder_state, output));
static_assert(offsetof(nbz_state, peak) == offsetof(nbz::encoder_state, peak));

nbz::encoder_state from_c(const nbz_state& s) { return {s.delta, s.delta_prev, s.estimate, s.step, s.output, s.peak}; }
nbz_state to_c(const nbz::encoder_state& s) { return {s.delta, s.delta_prev, s.estimate, s.step, s.output, s.peak}; }

// The words of a whole stream replayed, each block's samples handed to `take`.
template <class Take>
std::uint32_t replay(const std::uint8_t* stream, std::size_t bytes, Take&& take) {
    nbz::encoder_state state{};
    nbz::encoder_init(state);
    std::array<std::int32_t, 8> out{};
    for (std::size_t at = 0; at < bytes; at += 4) {
        nbz::decode_block(state, nbz::c::load_word(stream + at), out);
        take(at / 4, out);
    }
    return state.peak;
}

}  // namespace

void nbz_state_init(nbz_state* state) {
    nbz::encoder_state s{};
    nbz::encoder_init(s);
    *state = to_c(s);
}

uint32_t nbz_encode_block(nbz_state* state, const int16_t samples[8]) {
    nbz::encoder_state s = from_c(*state);
    const std::uint32_t word = nbz::encode_block(s, std::span<const std::int16_t, 8>{samples, 8});
    *state = to_c(s);
    return word;
}

void nbz_decode_block(nbz_state* state, uint32_t word, int32_t out[8]) {
    nbz::encoder_state s = from_c(*state);
    nbz::decode_block(s, word, std::span<std::int32_t, 8>{out, 8});
    *state = to_c(s);
}

uint64_t nbz_stream_bytes(uint64_t samples) { return 4 * (samples / 8 + (samples % 8 != 0 ? 1 : 0)); }

int nbz_encode(const int16_t* pcm, size_t samples, uint8_t* stream, size_t capacity, uint32_t* level) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(pcm, samples) || !nbz::c::given(stream, capacity)) return NBZ_ERROR_NULL_POINTER;
        if (nbz_stream_bytes(samples) > capacity) return NBZ_ERROR_CAPACITY;
        nbz::encoder_state state{};
        nbz::encoder_init(state);
        const std::size_t whole = samples / 8;
        for (std::size_t b = 0; b < whole; ++b)
            nbz::c::store_word(stream + 4 * b,
                               nbz::encode_block(state, std::span<const std::int16_t, 8>{pcm + 8 * b, 8}));
        if (const std::size_t rest = samples % 8; rest != 0) {
            std::array<std::int16_t, 8> last{};  // completed with zero samples
            std::copy_n(pcm + 8 * whole, rest, last.begin());
            nbz::c::store_word(stream + 4 * whole, nbz::encode_block(state, last));
        }
        nbz::c::store_if(level, state.peak);
        return NBZ_OK;
    });
}

int nbz_decode(const uint8_t* stream, size_t bytes, int16_t* pcm, size_t capacity, uint32_t* level) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(stream, bytes) || !nbz::c::given(pcm, capacity)) return NBZ_ERROR_NULL_POINTER;
        if (bytes % 4 != 0) return NBZ_ERROR_LENGTH;
        if (bytes > std::numeric_limits<std::size_t>::max() / 2) return NBZ_ERROR_TOO_LONG;
        if (2 * bytes > capacity) return NBZ_ERROR_CAPACITY;
        const std::uint32_t peak = replay(stream, bytes, [&](std::size_t word, const std::array<std::int32_t, 8>& out) {
            std::transform(out.begin(), out.end(), pcm + 8 * word,
                           [](std::int32_t y) { return static_cast<std::int16_t>(std::clamp(y, -32768, 32767)); });
        });
        nbz::c::store_if(level, peak);
        return NBZ_OK;
    });
}

int nbz_level(const uint8_t* stream, size_t bytes, uint32_t* level) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(stream, bytes) || level == nullptr) return NBZ_ERROR_NULL_POINTER;
        if (bytes % 4 != 0) return NBZ_ERROR_LENGTH;
        *level = replay(stream, bytes, [](std::size_t, const std::array<std::int32_t, 8>&) {});
        return NBZ_OK;
    });
}
