// The report's figures of a stream against its samples, by the meter that
// the commands report with.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "nbz/meter.h"
#include "nbz/nbz_c.h"
#include "support.h"

int nbz_measure(const int16_t* pcm, size_t samples, const uint8_t* stream, size_t bytes, nbz_report* report) {
    return nbz::c::guarded([&] {
        if (!nbz::c::given(pcm, samples) || !nbz::c::given(stream, bytes) || report == nullptr)
            return NBZ_ERROR_NULL_POINTER;
        if (bytes != nbz_stream_bytes(samples)) return NBZ_ERROR_LENGTH;
        nbz::reconstruction_meter meter;
        for (std::size_t at = 0; at < samples; at += 8) {
            // Each block with its word, so that the meter holds one block.
            std::array<std::int16_t, 8> block{};  // the last one completed with zero samples
            const std::size_t counted = std::min<std::size_t>(8, samples - at);
            std::copy_n(pcm + at, counted, block.begin());
            meter.sent(block, counted);
            const std::uint32_t word = nbz::c::load_word(stream + at / 2);
            meter.received(std::span<const std::uint32_t>{&word, 1});
        }
        const std::uint32_t level = meter.level();
        *report = {level, nbz::overflow_of(level), meter.signal_energy(), meter.noise_energy(),
                   nbz::snr_db(meter.signal_energy(), meter.noise_energy())};
        return NBZ_OK;
    });
}
