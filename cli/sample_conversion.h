#pragma once
// Turning decoded sound (any width, or floating point, full scale 1.0) into
// the 16-bit mono samples that the encoder takes.

#include <cmath>
#include <cstdint>
#include <span>

namespace nbz::cli {

// `value` (full scale 1.0) times `gain`, scaled to 16 bits once, rounded to
// nearest (halves away from zero) and saturated to -32768..32767; NaN gives
// 0. A 16-bit source with a gain of 1 comes back exactly.
inline std::int16_t to_pcm16(double value, double gain) {
    const double scaled = value * 32768.0 * gain;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<std::int16_t>(std::lround(scaled));
}

// The average of each frame's `channels` interleaved samples, into `mono`
// (frames = mono.size()).
inline void mix_to_mono(std::span<const double> interleaved, int channels, std::span<double> mono) {
    const auto n = static_cast<std::size_t>(channels);
    for (std::size_t f = 0; f < mono.size(); ++f) {
        double sum = 0;
        for (std::size_t c = 0; c < n; ++c) sum += interleaved[f * n + c];
        mono[f] = sum / channels;
    }
}

}  // namespace nbz::cli
