#pragma once
// 32-bit two's-complement arithmetic that wraps on overflow, and the two
// roundings of a division by 8 that the encoder uses.
//
// Signed overflow is undefined in C++, so the wrapping operations are done on
// unsigned values; converting the result back to a signed value is modular
// since C++20, which makes every operation here exact and defined.

#include <cstdint>

namespace nbz {

constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_mul(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// v / 8 rounded toward minus infinity: an arithmetic shift, so 1..7 give 0
// and -1..-8 give -1.
constexpr std::int32_t floor_div8(std::int32_t v) { return v >> 3; }

// v / 8 rounded to nearest, halves away from zero: round_div8(4) = 1,
// round_div8(-3) = 0, round_div8(-4) = -1. The bias wraps like all state
// arithmetic, so values within 4 of the 32-bit limits wrap rather than trap.
constexpr std::int32_t round_div8(std::int32_t v) { return wrap_add(v, v < 0 ? 3 : 4) >> 3; }

// |v| as an unsigned value, exact for every v: magnitude(INT32_MIN) = 2^31.
constexpr std::uint32_t magnitude(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return v < 0 ? 0U - u : u;
}

}  // namespace nbz
