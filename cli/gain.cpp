#include "gain.h"

#include <cmath>
#include <cstdlib>

namespace nbz::cli {

double gain_factor(const std::optional<std::string>& decibels) {
    if (!decibels) return 1.0;
    // The commands never call setlocale, so atof reads with a full stop.
    return std::pow(10.0, std::atof(decibels->c_str()) / 20.0);
}

}  // namespace nbz::cli
