#pragma once
// The optional gain of the encoding commands.

#include <cstdint>
#include <optional>
#include <string>

namespace nbz::cli {

// The linear factor for a gain argument in decibels: 10^(dB / 20), with dB
// read by the C library's atof rules in the "C" locale (leading white space
// skipped, the longest numeric prefix taken, the rest ignored, 0 when there
// is no number; "inf" and "nan" are numbers). So "-6" attenuates, "1,5" is
// 1 dB, "abc" is 0 dB and "20" gives exactly 10. No argument gives 1.
double gain_factor(const std::optional<std::string>& decibels);

// A sample multiplied by `gain`, truncated toward zero and saturated to
// -32768..32767; a NaN product gives 0. Defined for every double.
constexpr std::int16_t scale_sample(std::int16_t sample, double gain) {
    const double product = sample * gain;
    if (!(product == product)) return 0;  // NaN
    if (product >= 32767.0) return 32767;
    if (product <= -32768.0) return -32768;
    return static_cast<std::int16_t>(product);  // in range: truncates toward zero
}

}  // namespace nbz::cli
