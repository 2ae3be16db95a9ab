#pragma once
// What every C function shares: no exception crosses the interface, and
// code words are stored and loaded least significant byte first.

#include <cstddef>
#include <cstdint>
#include <new>

#include "nbz/nbz_c.h"

namespace nbz::c {

// Runs `body`, which returns an NBZ_ code, and turns any exception into one.
template <class Body>
int guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return NBZ_ERROR_MEMORY;
    } catch (...) {
        return NBZ_ERROR_INTERNAL;
    }
}

// Whether a buffer is given as the interface requires: a null pointer only
// with a count of 0.
inline bool given(const void* buffer, std::size_t count) { return buffer != nullptr || count == 0; }

inline void store_word(std::uint8_t* at, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(word >> (8 * i));
}

inline std::uint32_t load_word(const std::uint8_t* at) {
    std::uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word |= std::uint32_t{at[i]} << (8 * i);
    return word;
}

// Stores `value` where the caller asked for it, if it did.
template <class T>
void store_if(T* at, T value) {
    if (at != nullptr) *at = value;
}

}  // namespace nbz::c
