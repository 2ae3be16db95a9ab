#include "sound_blocks.h"

#include <algorithm>
#include <vector>

#include "nbz/cli/streams.h"
#include "nbz/platform/process.h"
#include "nbz/prepare/pcm16.h"
#include "nbz/prepare/resampler.h"

namespace nbz::cli {

std::uint64_t read_sound_blocks(audio::sound_reader& reader, std::optional<long> resample_to_hz, double gain,
                                const std::function<void(std::span<const std::int16_t>, std::size_t)>& consume) {
    std::vector<std::int16_t> samples(chunk_bytes / 2);  // a whole number of blocks
    std::size_t used = 0;
    std::uint64_t total = 0;
    const auto gather = [&](std::span<const double> values) {
        for (const double v : values) {
            samples[used++] = to_pcm16(v, gain);
            if (used == samples.size()) {
                consume(samples, used);
                total += used;
                used = 0;
            }
        }
    };

    std::optional<resampler> resample;
    if (resample_to_hz)
        resample.emplace(static_cast<double>(reader.description().rate_hz), static_cast<double>(*resample_to_hz),
                         gather);
    std::vector<double> mono(chunk_bytes / 8);
    // The decoders' notes on standard error are kept from the terminal.
    const auto read = [&] {
        const quiet_standard_error quiet;
        return reader.read_mono(mono);
    };
    while (const std::size_t n = read()) {
        const auto part = std::span<const double>{mono}.first(n);
        if (resample) {
            resample->put(part);
        } else {
            gather(part);
        }
    }
    if (resample) resample->finish();

    if (used > 0) {
        const std::size_t padded = (used + 7) / 8 * 8;
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(used),
                  samples.begin() + static_cast<std::ptrdiff_t>(padded), std::int16_t{0});
        consume(std::span{samples}.first(padded), used);
        total += used;
    }
    return total;
}

}  // namespace nbz::cli
