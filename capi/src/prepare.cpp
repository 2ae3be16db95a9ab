// The gains, the mix to mono and the conversion to 16 bits, over buffers.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "nbz/nbz_c.h"
#include "nbz/prepare/gain.h"
#include "nbz/prepare/mix.h"
#include "nbz/prepare/pcm16.h"
#include "support.h"

double nbz_gain_factor(double decibels) { return nbz::gain_from_decibels(decibels); }

int nbz_gain_truncating(const int16_t* pcm, size_t samples, double factor, int16_t* out, size_t capacity) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(pcm, samples) || !nbz::c::given(out, capacity)) return NBZ_ERROR_NULL_POINTER;
        if (samples > capacity) return NBZ_ERROR_CAPACITY;
        nbz::scale_samples({pcm, samples}, factor, {out, samples});
        return NBZ_OK;
    });
}

int nbz_mix_to_mono(const double* interleaved, size_t frames, int channels, double* mono, size_t capacity) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(interleaved, frames) || !nbz::c::given(mono, capacity)) return NBZ_ERROR_NULL_POINTER;
        if (channels < 1) return NBZ_ERROR_CHANNELS;
        const auto n = static_cast<std::size_t>(channels);
        if (frames > std::numeric_limits<std::size_t>::max() / n) return NBZ_ERROR_TOO_LONG;
        if (frames > capacity) return NBZ_ERROR_CAPACITY;
        nbz::mix_to_mono({interleaved, frames * n}, channels, {mono, frames});
        return NBZ_OK;
    });
}

int nbz_to_pcm16(const double* in, size_t samples, double factor, int16_t* out, size_t capacity) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(in, samples) || !nbz::c::given(out, capacity)) return NBZ_ERROR_NULL_POINTER;
        if (samples > capacity) return NBZ_ERROR_CAPACITY;
        nbz::to_pcm16(std::span<const double>{in, samples}, factor, {out, samples});
        return NBZ_OK;
    });
}
