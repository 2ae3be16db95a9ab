// The AVX-512 kernel's selection: the survivors of a sample chosen with the
// keys and their classes held in 512-bit registers. It chooses the set that
// the reference kernel chooses (reference.cpp), in another way.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "nbz/attributes.h"
#include "search/encoder.h"

#ifdef NBZ_SEARCH_X86
#include <immintrin.h>

#include "search/avx512.h"
#include "search/target.h"

namespace nbz::search {

NBZ_SEARCH_TARGET_BEGIN(NBZ_AVX512_SETS)

namespace {

// The minimum (maximum) across the lanes, in every lane: each step takes the
// lesser of every lane and its partner at half the last distance. For
// 64-bit lanes: 0x4E swaps the 256-bit halves ([2, 3, 0, 1] in 128-bit
// quarters), 0xB1 swaps adjacent quarters ([1, 0, 3, 2]), and BADC swaps the
// two 64-bit lanes of each quarter. For 32-bit lanes: permute2x128 1 swaps
// the 128-bit halves, 0x4E the 64-bit pairs in each half, 0xB1 adjacent
// lanes.
NBZ_ALWAYS_INLINE inline __m512i lowest_of(__m512i v) {
    v = _mm512_min_epu64(v, _mm512_shuffle_i64x2(v, v, 0x4E));
    v = _mm512_min_epu64(v, _mm512_shuffle_i64x2(v, v, 0xB1));
    return _mm512_min_epu64(v, _mm512_shuffle_epi32(v, _MM_PERM_BADC));
}
NBZ_ALWAYS_INLINE inline __m256i lowest_of(__m256i v) {
    v = _mm256_min_epu32(v, _mm256_permute2x128_si256(v, v, 1));
    v = _mm256_min_epu32(v, _mm256_shuffle_epi32(v, 0x4E));
    return _mm256_min_epu32(v, _mm256_shuffle_epi32(v, 0xB1));
}
NBZ_ALWAYS_INLINE inline __m256i highest_of(__m256i v) {
    v = _mm256_max_epu32(v, _mm256_permute2x128_si256(v, v, 1));
    v = _mm256_max_epu32(v, _mm256_shuffle_epi32(v, 0x4E));
    return _mm256_max_epu32(v, _mm256_shuffle_epi32(v, 0xB1));
}

// The minima of eight vectors, in order in the lanes of one: three rounds
// that each halve all eight at once. unpacklo/hi pair the even and odd
// 64-bit lanes of two vectors; shuffle_i64x2 0x88 takes the even 128-bit
// quarters of two vectors ([a0, a2, b0, b2]) and 0xDD the odd ones
// ([a1, a3, b1, b3]).
NBZ_ALWAYS_INLINE inline __m512i minima_of_eight(const __m512i* m) {
    __m512i pairs[4];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    for (std::size_t k = 0; k < 4; ++k)
        pairs[k] = _mm512_min_epu64(_mm512_unpacklo_epi64(m[2 * k], m[2 * k + 1]),
                                    _mm512_unpackhi_epi64(m[2 * k], m[2 * k + 1]));
    __m512i fours[2];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
    for (std::size_t k = 0; k < 2; ++k)
        fours[k] = _mm512_min_epu64(_mm512_shuffle_i64x2(pairs[2 * k], pairs[2 * k + 1], 0x88),
                                    _mm512_shuffle_i64x2(pairs[2 * k], pairs[2 * k + 1], 0xDD));
    return _mm512_min_epu64(_mm512_shuffle_i64x2(fours[0], fours[1], 0x88),
                            _mm512_shuffle_i64x2(fours[0], fours[1], 0xDD));
}

// The cheapest of the keys whose class is at each of offsets first..first+7
// from the lowest, in order in the lanes; unclaimed - 1 where none is.
template <std::size_t n>
NBZ_ALWAYS_INLINE inline __m512i class_winners(const __m512i* keys, const __m256i* offsets, int first) {
    __m512i minima[8];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    for (__m512i& minimum : minima) minimum = _mm512_set1_epi64(static_cast<long long>(unclaimed - 1));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 8; ++k) {
            const __mmask8 same = _mm256_cmpeq_epi32_mask(offsets[i], _mm256_set1_epi32(first + static_cast<int>(k)));
            minima[k] = _mm512_mask_min_epu64(minima[k], same, keys[i], minima[k]);
        }
    }
    return minima_of_eight(minima);
}

// The masks of `count` vectors as one, eight lanes each, joined in mask
// registers.
template <std::size_t count>
NBZ_ALWAYS_INLINE inline __mmask64 joined(const __mmask8* m) {
    if constexpr (count == 1)
        return m[0];
    else if constexpr (count == 2)
        return _mm512_kunpackb(m[1], m[0]);
    else if constexpr (count <= 4)
        return _mm512_kunpackw(joined<count - 2>(m + 2), joined<2>(m));
    else
        return _mm512_kunpackd(joined<count - 4>(m + 4), joined<4>(m));
}

// The lanes of each half whose keys are below `bound`.
template <std::size_t vectors>
NBZ_ALWAYS_INLINE inline std::array<std::uint64_t, halves> lanes_below(const __m512i* keys, std::uint64_t bound) {
    const __m512i b = _mm512_set1_epi64(static_cast<long long>(bound));
    __mmask8 below[halves * vectors];  // NOLINT(cppcoreguidelines-avoid-c-arrays): mask registers
    for (std::size_t i = 0; i < halves * vectors; ++i) below[i] = _mm512_cmplt_epu64_mask(keys[i], b);
    return {_cvtmask64_u64(joined<vectors>(below)), _cvtmask64_u64(joined<vectors>(below + vectors))};
}

// The number of keys below `bound`.
template <std::size_t vectors>
NBZ_ALWAYS_INLINE inline std::size_t count_below(const __m512i* keys, std::uint64_t bound) {
    const std::array<std::uint64_t, halves> lanes = lanes_below<vectors>(keys, bound);
    return static_cast<std::size_t>(std::popcount(lanes[0])) + static_cast<std::size_t>(std::popcount(lanes[1]));
}

// Where the fill's bound lies: `below_lo` keys are below `lo`, fewer than
// the fill, and `below_hi` below `hi`, at least the fill.
struct bracket {
    std::uint64_t lo;
    std::size_t below_lo;
    std::uint64_t hi;
    std::size_t below_hi;
};

// a + b, or unclaimed where that would not fit.
constexpr std::uint64_t plus(std::uint64_t a, std::uint64_t b) { return a > unclaimed - b ? unclaimed : a + b; }

// The class winners of the keys, which the step classes `classes` of each
// key index. Returns false when the classes span more than sixteen, or there
// are more of them than slots for them: the sample is then left to the
// general selection. Else the winners are added to `chosen` and set above
// every key, and c.classes and c.cheapest are set.
//
// The classes present form a run (steps change by small factors), so the
// winners of the classes from the lowest on are found in one pass over the
// keys for each eight classes, into vectors that each key's class indexes:
// a key is its class's winner when it equals the entry.
template <std::size_t vectors>
NBZ_ALWAYS_INLINE inline bool take_class_winners(__m512i* keys, const __m256i* classes, candidates& c, int width,
                                                 position_set& chosen) {
    constexpr std::size_t n = halves * vectors;
    // The lowest class and one past the highest (no_class + 1 wraps to 0).
    const __m256i one = _mm256_set1_epi32(1);
    __m256i low = classes[0];
    __m256i high = _mm256_add_epi32(classes[0], one);
    __m512i cheapest = keys[0];
    for (std::size_t i = 1; i < n; ++i) {
        low = _mm256_min_epu32(low, classes[i]);
        high = _mm256_max_epu32(high, _mm256_add_epi32(classes[i], one));
        cheapest = _mm512_min_epu64(cheapest, keys[i]);
    }
    low = lowest_of(low);
    const auto span = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(_mm256_sub_epi32(highest_of(high), low)));
    if (span > 16) return false;

    // The winners of classes low.. in order, eight to a vector; absent
    // classes have a key that no candidate has.
    const __m512i absent = _mm512_set1_epi64(static_cast<long long>(unclaimed - 1));
    __m256i offsets[n];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    for (std::size_t i = 0; i < n; ++i) offsets[i] = _mm256_sub_epi32(classes[i], low);
    const __m512i first_eight = class_winners<n>(keys, offsets, 0);
    const __m512i next_eight = span > 8 ? class_winners<n>(keys, offsets, 8) : absent;
    const auto present = static_cast<unsigned>(_mm512_cmpneq_epu64_mask(first_eight, absent)) |
                         static_cast<unsigned>(_mm512_cmpneq_epu64_mask(next_eight, absent)) << 8U;
    c.classes = static_cast<std::size_t>(std::popcount(present));
    c.cheapest = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(lowest_of(cheapest))));
    if (counts_of(c, width).for_classes < c.classes) return false;

    // The winners are taken, and put above every key for the rest.
    const __m512i none = _mm512_set1_epi64(-1);
    __mmask8 won[n];  // NOLINT(cppcoreguidelines-avoid-c-arrays): mask registers
    for (std::size_t i = 0; i < n; ++i) {
        const __m512i winner = _mm512_permutex2var_epi64(first_eight, _mm512_cvtepu32_epi64(offsets[i]), next_eight);
        won[i] = _mm512_cmpeq_epu64_mask(keys[i], winner);
        keys[i] = _mm512_mask_mov_epi64(keys[i], won[i], none);
    }
    chosen[0] |= _cvtmask64_u64(joined<vectors>(won));
    chosen[1] |= _cvtmask64_u64(joined<vectors>(won + vectors));
    return true;
}

// Brackets the bound below which `fill` keys lie until at most eight keys
// are in doubt. The keys below four trial bounds, placed around `last` (the
// last sample's distance from the cheapest key to its bound) are counted;
// the bracket widens fourfold while it holds too few, and counting halves it.
template <std::size_t vectors>
NBZ_ALWAYS_INLINE inline bracket bracket_bound(const __m512i* keys, std::uint64_t cheapest, std::size_t fill,
                                               std::uint64_t last) {
    // In ascending order, so that their counts ascend too.
    const std::array<std::uint64_t, 4> trials = {cheapest + last / 2, cheapest + (last - last / 8),
                                                 plus(cheapest, last + last / 8), plus(cheapest, last + last / 2)};
    // The bracket from the trials: those below fill, if any, and the next,
    // if any (else below_hi < fill still).
    std::array<std::uint64_t, 6> bounds;
    std::array<std::size_t, 6> below;
    bounds[0] = cheapest;
    below[0] = 0;
    std::size_t trials_under = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bounds[i + 1] = trials[i];
        below[i + 1] = count_below<vectors>(keys, trials[i]);
        trials_under += static_cast<std::size_t>(below[i + 1] < fill);
    }
    bounds[5] = bounds[4];
    below[5] = below[4];
    bracket b = {bounds[trials_under], below[trials_under], bounds[trials_under + 1], below[trials_under + 1]};
    std::uint64_t reach = last + last / 2;
    while (b.below_hi < fill) {
        b.lo = b.hi;
        b.below_lo = b.below_hi;
        reach = plus(plus(reach, reach), plus(reach, reach));
        b.hi = plus(cheapest, reach);
        b.below_hi = count_below<vectors>(keys, b.hi);
    }
    while (b.below_hi - b.below_lo > 8) {
        const std::uint64_t mid = b.lo + (b.hi - b.lo) / 2;
        const std::size_t below_mid = count_below<vectors>(keys, mid);
        if (below_mid < fill) {
            b.lo = mid;
            b.below_lo = below_mid;
        } else {
            b.hi = mid;
            b.below_hi = below_mid;
        }
    }
    return b;
}

// The bound below which exactly `fill` keys lie, within bracket `b`: the
// keys in [lo, hi), at most eight, gathered into one vector and ranked
// against its rotations; the one with fill - below_lo - 1 of them below it is
// the last to survive.
template <std::size_t vectors>
NBZ_ALWAYS_INLINE inline std::uint64_t exact_bound(const __m512i* keys, const bracket& b, std::size_t fill) {
    if (b.below_hi == fill) return b.hi;
    __m512i doubt = _mm512_set1_epi64(-1);
    std::size_t gathered = 0;
    const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i from = _mm512_set1_epi64(static_cast<long long>(b.lo));
    const __m512i to = _mm512_set1_epi64(static_cast<long long>(b.hi));
    for (std::size_t i = 0; i < halves * vectors; ++i) {
        const __mmask8 in = _mm512_mask_cmpge_epu64_mask(_mm512_cmplt_epu64_mask(keys[i], to), keys[i], from);
        // Shifted up past those already gathered: lanes gathered.. take them.
        const __m512i packed = _mm512_maskz_compress_epi64(in, keys[i]);
        const __m512i shifted = _mm512_permutexvar_epi64(
            _mm512_sub_epi64(lanes, _mm512_set1_epi64(static_cast<long long>(gathered))), packed);
        const auto count = static_cast<unsigned>(std::popcount(static_cast<unsigned>(in)));
        doubt = _mm512_mask_mov_epi64(doubt, static_cast<__mmask8>(((1U << count) - 1) << gathered), shifted);
        gathered += count;
    }
    __m512i rank = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi64(1);
    for (int r = 1; r < 8; ++r) {
        // Rotated by r lanes (a permutation by index, which needs no
        // constant).
        const __m512i rotated = _mm512_permutexvar_epi64(_mm512_add_epi64(lanes, _mm512_set1_epi64(r)), doubt);
        rank = _mm512_mask_add_epi64(rank, _mm512_cmplt_epu64_mask(rotated, doubt), rank, one);
    }
    const __mmask8 last_one =
        _mm512_cmpeq_epu64_mask(rank, _mm512_set1_epi64(static_cast<long long>(fill - b.below_lo - 1)));
    return static_cast<std::uint64_t>(
               _mm_cvtsi128_si64(_mm512_castsi512_si128(_mm512_maskz_compress_epi64(last_one, doubt)))) +
           1;
}

// The selection of select_survivors for a sample without sixteens, in
// 512-bit vectors held in registers (`vectors` to a half), when its classes
// span at most 16 and every class's winner is taken; else returns false,
// having chosen nothing. The class winners are taken first; the cheapest
// others are then the keys below a bound, found by counting. `hint` (the
// last bound's distance from the cheapest key) only makes the first trial
// bounds good ones: the set chosen is the same whatever it holds.
template <std::size_t vectors>
bool select_in_registers(const candidate_terms& t, candidates& c, int width, position_set& chosen,
                         std::uint64_t& hint) {
    constexpr std::size_t n = halves * vectors;
    __m512i keys[n];     // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    __m256i classes[n];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = (i / vectors) * other_base + 8 * (i % vectors);
        keys[i] = _mm512_load_si512(t.key.data() + at);
        classes[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.class_at.data() + at));
    }
    if (!take_class_winners<vectors>(keys, classes, c, width, chosen)) return false;
    const std::size_t fill = counts_of(c, width).fill;
    if (fill == 0) return true;
    const bracket b = bracket_bound<vectors>(keys, c.cheapest, fill, greater<std::uint64_t>(hint, 8));
    const std::uint64_t bound = exact_bound<vectors>(keys, b, fill);
    const std::array<std::uint64_t, halves> survivors = lanes_below<vectors>(keys, bound);
    chosen[0] |= survivors[0];
    chosen[1] |= survivors[1];
    hint = bound - c.cheapest;
    return true;
}

}  // namespace

// select_in_registers for each number of vectors a half, 1 to 8.
using select_in_registers_fn = bool (*)(const candidate_terms&, candidates&, int, position_set&, std::uint64_t&);
template <std::size_t... vectors>
constexpr std::array<select_in_registers_fn, sizeof...(vectors)> select_in_registers_for(
    std::index_sequence<vectors...> /*unused*/) {
    return {select_in_registers<vectors + 1>...};
}
constexpr auto select_in_registers_by_vectors = select_in_registers_for(std::make_index_sequence<paths_max / 8>());

bool select_in_registers_avx512(const candidate_terms& t, candidates& c, int width, position_set& chosen,
                                std::uint64_t& hint) {
    return select_in_registers_by_vectors[(c.path_count + 7) / 8 - 1](t, c, width, chosen, hint);
}

NBZ_SEARCH_TARGET_END

}  // namespace nbz::search
#endif
