#pragma once
// How a vector kernel declares the instruction sets it uses, once, so that
// its code and its runtime check cannot disagree. A kernel file defines its
// list as a macro that applies `first` to the first set and `next` to each
// other, e.g.
//
//   #define NBZ_AVX2_SETS(first, next) first(avx2)
//
// then, after every #include, opens its region with
// NBZ_SEARCH_TARGET_BEGIN(NBZ_AVX2_SETS) and closes it with
// NBZ_SEARCH_TARGET_END; its runtime check is NBZ_SEARCH_RUNS(NBZ_AVX2_SETS).
// Every function defined in the region may use every set in the list, and
// nothing else; what the region's functions call outside it is built for any
// processor of the target (or inlined into them). GCC and Clang only: the
// vector kernels are built where NBZ_SEARCH_X86 is defined (search/encoder.h).

#if !defined(__GNUC__) && !defined(__clang__)
#error "search/target.h needs GCC's or Clang's target attributes"
#endif

#define NBZ_SEARCH_SET_FIRST(set) #set
#define NBZ_SEARCH_SET_NEXT(set) "," #set
#define NBZ_SEARCH_SET_LISTED(set) , #set
#define NBZ_SEARCH_SET_CHECK(set) &&__builtin_cpu_supports(#set)
#define NBZ_SEARCH_PRAGMA_TEXT(...) _Pragma(#__VA_ARGS__)
#define NBZ_SEARCH_PRAGMA(...) NBZ_SEARCH_PRAGMA_TEXT(__VA_ARGS__)

// Whether this processor has every set in the list.
#define NBZ_SEARCH_RUNS(sets) (true sets(NBZ_SEARCH_SET_CHECK, NBZ_SEARCH_SET_CHECK))

#if defined(__clang__)
#define NBZ_SEARCH_TARGET_BEGIN(sets)                                                                                \
    NBZ_SEARCH_PRAGMA(clang attribute push(__attribute__((target(sets(NBZ_SEARCH_SET_FIRST, NBZ_SEARCH_SET_NEXT)))), \
                                           apply_to = function))
#define NBZ_SEARCH_TARGET_END NBZ_SEARCH_PRAGMA(clang attribute pop)
#else
// GCC keeps to 256-bit vectors unless told that wider ones are welcome. Its
// own unmasked 512-bit intrinsics start from "undefined" vectors that it
// then warns are uninitialised.
#define NBZ_SEARCH_TARGET_BEGIN(sets)                                                                           \
    NBZ_SEARCH_PRAGMA(GCC push_options)                                                                         \
    NBZ_SEARCH_PRAGMA(GCC target(sets(NBZ_SEARCH_SET_FIRST, NBZ_SEARCH_SET_LISTED), "prefer-vector-width=512")) \
    NBZ_SEARCH_PRAGMA(GCC diagnostic push)                                                                      \
    NBZ_SEARCH_PRAGMA(GCC diagnostic ignored "-Wuninitialized")                                                 \
    NBZ_SEARCH_PRAGMA(GCC diagnostic ignored "-Wmaybe-uninitialized")
#define NBZ_SEARCH_TARGET_END NBZ_SEARCH_PRAGMA(GCC diagnostic pop) NBZ_SEARCH_PRAGMA(GCC pop_options)
#endif
