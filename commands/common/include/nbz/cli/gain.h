#pragma once
// The optional gain argument of the encoding commands.

#include <optional>
#include <string>

namespace nbz::cli {

// The linear factor for a gain argument in decibels: 10^(dB / 20), with dB
// read by the C library's atof rules in the "C" locale (leading white space
// skipped, the longest numeric prefix taken, the rest ignored, 0 when there
// is no number; "inf" and "nan" are numbers). So "-6" attenuates, "1,5" is
// 1 dB, "abc" is 0 dB and "20" gives exactly 10. No argument gives 1.
double gain_factor(const std::optional<std::string>& decibels);

}  // namespace nbz::cli
