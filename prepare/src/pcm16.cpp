#include "nbz/prepare/pcm16.h"

#include <cstddef>

namespace nbz {

void to_pcm16(std::span<const double> values, double gain, std::span<std::int16_t> out) {
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = to_pcm16(values[i], gain);
}

}  // namespace nbz
