#pragma once
// Signals that exercise different parts of the coder, each from a seed.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace nbz::testing {

enum class signal { noise, full_scale_noise, square, sine, silence, bursts };

inline std::vector<std::int16_t> make_signal(signal kind, std::size_t length, std::uint32_t seed) {
    std::mt19937 random{seed};
    std::uniform_int_distribution<int> full{-32768, 32767};
    std::vector<std::int16_t> out(length);
    const int period = 2 + static_cast<int>(seed % 200);
    for (std::size_t i = 0; i < length; ++i) {
        int v = 0;
        switch (kind) {
            case signal::noise:
                v = full(random) / 16;
                break;
            case signal::full_scale_noise:
                v = full(random);
                break;
            case signal::square:
                v = (i / static_cast<std::size_t>(period)) % 2 ? 32767 : -32768;
                break;
            case signal::sine:
                v = static_cast<int>(30000 * std::sin(static_cast<double>(i) * 6.283 / period));
                break;
            case signal::silence:
                v = 0;
                break;
            case signal::bursts:
                v = (i / 512) % 3 == 0 ? full(random) : 0;
                break;
        }
        out[i] = static_cast<std::int16_t>(v);
    }
    return out;
}

}  // namespace nbz::testing
