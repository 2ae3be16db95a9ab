#pragma once
// Turning decoded sound (any width, or floating point, full scale 1.0) into
// the 16-bit samples that the encoder takes, with the gain inside the one
// rounding.

#include <cstdint>
#include <span>

namespace nbz {

// `value` (full scale 1.0) times `gain`, scaled to 16 bits once, rounded to
// nearest (halves away from zero) and saturated to -32768..32767; NaN gives
// 0. A 16-bit source with a gain of 1 comes back exactly. Plain IEEE
// operations only (no library rounding), so every machine gives the same
// sample.
inline std::int16_t to_pcm16(double value, double gain) {
    const double scaled = value * 32768.0 * gain;
    if (!(scaled == scaled)) return 0;  // NaN
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    auto whole = static_cast<int>(scaled);  // in range: truncates toward zero
    const double rest = scaled - whole;     // exact
    if (rest >= 0.5) ++whole;
    if (rest <= -0.5) --whole;
    return static_cast<std::int16_t>(whole);
}

// Each of `values` converted by to_pcm16 into `out` (out.size() >=
// values.size()). Built with the library, without fused multiply-add, so
// that every caller gets the same samples whatever its own options.
void to_pcm16(std::span<const double> values, double gain, std::span<std::int16_t> out);

}  // namespace nbz
