#pragma once
// Inlining hints in each compiler's own spelling. MSVC does not know GCC's
// attributes (and /W4 /WX would stop at them): there it keeps the noinline
// and leaves inlining to the optimiser.

#if defined(__GNUC__) || defined(__clang__)
#define NBZ_ALWAYS_INLINE [[gnu::always_inline]]
#define NBZ_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define NBZ_ALWAYS_INLINE
#define NBZ_NOINLINE __declspec(noinline)
#else
#define NBZ_ALWAYS_INLINE
#define NBZ_NOINLINE
#endif
