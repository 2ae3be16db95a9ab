#pragma once
// Inputs and comparisons shared by the tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <span>
#include <vector>

#include "nbz/nbz.h"

namespace nbz {

inline std::ostream& operator<<(std::ostream& os, const encoder_state& s) {
    return os << "{delta " << s.delta << ", delta_prev " << s.delta_prev << ", estimate " << s.estimate << ", step "
              << s.step << ", output " << s.output << ", peak " << s.peak << "}";
}

}  // namespace nbz

namespace nbz::testing {

// FNV-1a over `data`, going on from `hash` (the offset basis by default).
inline std::uint64_t fnv1a(std::span<const unsigned char> data, std::uint64_t hash = 14695981039346656037ULL) {
    for (const unsigned char b : data) {
        hash ^= b;
        hash *= 1099511628211ULL;
    }
    return hash;
}

inline encoder_state initial_state() {
    encoder_state s;
    encoder_init(s);
    return s;
}

// Encodes `samples` (zero-filled to whole blocks) with the codec.
inline std::vector<std::uint32_t> encode_all(std::span<const std::int16_t> samples, encoder_state& state) {
    std::vector<std::uint32_t> words;
    for (std::size_t start = 0; start < samples.size(); start += 8) {
        std::array<std::int16_t, 8> block{};
        for (std::size_t i = 0; i < 8 && start + i < samples.size(); ++i) block[i] = samples[start + i];
        words.push_back(encode_block(state, block));
    }
    return words;
}

// Signals that exercise different parts of the coder, each from a seed.
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
