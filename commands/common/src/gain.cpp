#include "nbz/cli/gain.h"

#include <cstdlib>

#include "nbz/prepare/gain.h"

namespace nbz::cli {

double gain_factor(const std::optional<std::string>& decibels) {
    if (!decibels) return 1.0;
    // The commands never call setlocale, so the number is read with a full
    // stop. strtod, which atof is defined by: MinGW's atof is the old Windows
    // runtime's, which reads neither "inf" nor "nan".
    return gain_from_decibels(std::strtod(decibels->c_str(), nullptr));
}

}  // namespace nbz::cli
