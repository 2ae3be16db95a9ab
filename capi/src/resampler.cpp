// The resampler handle: nbzhq's resampler, whose output goes to the caller's
// buffer of the put or the end that makes it. The bound is the output that
// all the input so far makes in the end, less what came out already.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "nbz/nbz_c.h"
#include "nbz/prepare/resampler.h"
#include "support.h"

struct nbz_resampler {
    std::uint64_t from = 1;
    std::uint64_t to = 1;
    std::uint64_t inputs = 0;   // taken so far
    std::uint64_t outputs = 0;  // written so far
    double* out = nullptr;      // the current call's buffer
    std::size_t room = 0;
    std::size_t used = 0;
    std::optional<nbz::resampler> resample;
    bool ended = false;

    void take(std::span<const double> samples) {
        // Never beyond the room: the bound that was checked covers the output.
        const std::size_t count = std::min(samples.size(), room - used);
        std::copy_n(samples.begin(), count, out + used);
        used += count;
    }
};

namespace {

constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();

// ceil(inputs * to / from), saturated.
std::uint64_t outputs_for(std::uint64_t inputs, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t whole = inputs / from;
    const std::uint64_t rest = inputs % from;  // rest * to < 2^62
    if (whole > most / to) return most;
    const std::uint64_t part = (rest * to + from - 1) / from;
    return whole * to > most - part ? most : whole * to + part;
}

std::size_t bound(const nbz_resampler& r, std::size_t samples) {
    const std::uint64_t inputs = r.inputs > most - samples ? most : r.inputs + samples;
    const std::uint64_t count = outputs_for(inputs, r.from, r.to) - r.outputs;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, std::numeric_limits<std::size_t>::max()));
}

// Runs `step` with the caller's buffer as the output's destination.
template <class Step>
void into(nbz_resampler& r, double* out, std::size_t capacity, size_t* written, Step&& step) {
    r.out = out;
    r.room = capacity;
    r.used = 0;
    step();
    r.outputs += r.used;
    nbz::c::store_if(written, r.used);
    r.out = nullptr;
    r.room = 0;
}

}  // namespace

int nbz_resampler_new(uint32_t from_hz, uint32_t to_hz, nbz_resampler** resampler) {
    return nbz::c::guarded([&] {
        if (resampler == nullptr) return NBZ_ERROR_NULL_POINTER;
        if (!nbz::resampler_takes(from_hz, to_hz)) return NBZ_ERROR_RATE;
        auto made = std::make_unique<nbz_resampler>();
        made->from = from_hz;
        made->to = to_hz;
        nbz_resampler* const r = made.get();
        made->resample.emplace(from_hz, to_hz, [r](std::span<const double> samples) { r->take(samples); });
        *resampler = made.release();
        return NBZ_OK;
    });
}

size_t nbz_resampler_bound(const nbz_resampler* resampler, size_t samples) {
    if (resampler == nullptr || resampler->ended) return 0;
    return bound(*resampler, samples);
}

int nbz_resampler_put(nbz_resampler* resampler, const double* in, size_t samples, double* out, size_t capacity,
                      size_t* written) {
    return nbz::c::guarded([&] {
        if (resampler == nullptr || !nbz::c::given(in, samples) || !nbz::c::given(out, capacity))
            return NBZ_ERROR_NULL_POINTER;
        nbz_resampler& r = *resampler;
        if (r.ended) return NBZ_ERROR_ENDED;
        if (bound(r, samples) > capacity) return NBZ_ERROR_CAPACITY;
        into(r, out, capacity, written, [&] { r.resample->put({in, samples}); });
        r.inputs += samples;
        return NBZ_OK;
    });
}

int nbz_resampler_end(nbz_resampler* resampler, double* out, size_t capacity, size_t* written) {
    return nbz::c::guarded([&] {
        if (resampler == nullptr || !nbz::c::given(out, capacity)) return NBZ_ERROR_NULL_POINTER;
        nbz_resampler& r = *resampler;
        if (r.ended) return NBZ_ERROR_ENDED;
        if (bound(r, 0) > capacity) return NBZ_ERROR_CAPACITY;
        into(r, out, capacity, written, [&] { r.resample->finish(); });
        r.ended = true;
        return NBZ_OK;
    });
}

void nbz_resampler_free(nbz_resampler* resampler) { delete resampler; }
