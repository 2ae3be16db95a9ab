#pragma once
// std::bit_cast, or the compiler's builtin where the standard library lacks
// it (the libc++ of emscripten 3.1.6, which builds the WebAssembly module).

#include <bit>
#include <type_traits>

namespace nbz {

template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
    static_assert(sizeof(To) == sizeof(From) && std::is_trivially_copyable_v<To> && std::is_trivially_copyable_v<From>);
#ifdef __cpp_lib_bit_cast
    return std::bit_cast<To>(from);
#else
    return __builtin_bit_cast(To, from);
#endif
}

}  // namespace nbz
