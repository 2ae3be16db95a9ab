#pragma once
// The gain of raw 16-bit samples: a factor from decibels, and each sample
// scaled and truncated.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nbz {

// 10^(decibels / 20) in double precision: 20 gives exactly 10, -6 about
// 0.501187; infinities and NaN pass through pow's rules.
inline double gain_from_decibels(double decibels) { return std::pow(10.0, decibels / 20.0); }

// A sample multiplied by `gain`, truncated toward zero and saturated to
// -32768..32767; a NaN product gives 0. Defined for every double.
constexpr std::int16_t scale_sample(std::int16_t sample, double gain) {
    const double product = sample * gain;
    if (!(product == product)) return 0;  // NaN
    if (product >= 32767.0) return 32767;
    if (product <= -32768.0) return -32768;
    return static_cast<std::int16_t>(product);  // in range: truncates toward zero
}

// Each of `samples` scaled by scale_sample into `out` (out.size() >=
// samples.size()); `out` may be `samples` itself. A gain of exactly 1 gives
// every sample back unchanged.
inline void scale_samples(std::span<const std::int16_t> samples, double gain, std::span<std::int16_t> out) {
    for (std::size_t i = 0; i < samples.size(); ++i) out[i] = scale_sample(samples[i], gain);
}

}  // namespace nbz
