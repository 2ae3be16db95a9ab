#pragma once
// The hash of the recorded streams and outputs.

#include <cstdint>
#include <span>

namespace nbz::testing {

// FNV-1a over `data`, going on from `hash` (the offset basis by default).
inline std::uint64_t fnv1a(std::span<const unsigned char> data, std::uint64_t hash = 14695981039346656037ULL) {
    for (const unsigned char b : data) {
        hash ^= b;
        hash *= 1099511628211ULL;
    }
    return hash;
}

}  // namespace nbz::testing
