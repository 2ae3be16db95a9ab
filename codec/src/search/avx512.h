#pragma once
// The AVX-512 kernel (avx512.cpp, with its selection in avx512_select.cpp):
// the instruction sets it uses, and what its two files share.

#include <cstddef>
#include <cstdint>

#include "search/lanes.h"

// The instruction sets that this kernel uses.
#define NBZ_AVX512_SETS(first, next) first(avx512f) next(avx512vl) next(avx512bw) next(avx512dq) next(avx512cd)

namespace nbz::search {

// The first two candidates of each path, eight keys to a 512-bit vector:
// vector v of half h holds positions h * other_base + 8v onwards.
constexpr std::size_t halves = 2;

// The whole selection of a sample without sixteens, in registers; false
// when it leaves the sample to select_survivors (see avx512_select.cpp).
// Built for the instruction sets above: call it only from their region.
bool select_in_registers_avx512(const candidate_terms& t, candidates& c, int width, position_set& chosen,
                                std::uint64_t& hint);

}  // namespace nbz::search
