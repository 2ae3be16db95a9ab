// The AVX-512 kernel: the shared loops (lanes.h) in 512-bit vectors, with
// its own selection (avx512_select.cpp), survivors' states, repeat check and
// quickselect partition. It must give the reference kernel's streams
// (reference.cpp).

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "nbz/attributes.h"
#include "search/encoder.h"

#ifdef NBZ_SEARCH_X86
#include <immintrin.h>

#include "search/avx512.h"
#include "search/target.h"

namespace nbz::search {
namespace {

NBZ_SEARCH_TARGET_BEGIN(NBZ_AVX512_SETS)

NBZ_ALWAYS_INLINE inline std::size_t partition_avx512(std::uint64_t* keys, std::size_t n, std::uint64_t pivot,
                                                      std::uint64_t* spill) {
    const __m512i p = _mm512_set1_epi64(static_cast<long long>(pivot));
    std::size_t below = 0;
    std::size_t above = 0;
    for (std::size_t i = 0; i < n; i += 8) {
        const auto lanes = static_cast<__mmask8>(n - i >= 8 ? 0xFFU : (1U << (n - i)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi64(lanes, keys + i);
        const __mmask8 lt = _mm512_mask_cmplt_epu64_mask(lanes, v, p);
        const __mmask8 gt = _mm512_mask_cmpgt_epu64_mask(lanes, v, p);
        const auto count_lt = static_cast<unsigned>(std::popcount(static_cast<unsigned>(lt)));
        const auto count_gt = static_cast<unsigned>(std::popcount(static_cast<unsigned>(gt)));
        // Compressed in registers and stored under a mask: compressing
        // straight to memory is slow on some processors.
        _mm512_mask_storeu_epi64(keys + below, static_cast<__mmask8>((1U << count_lt) - 1),
                                 _mm512_maskz_compress_epi64(lt, v));
        _mm512_mask_storeu_epi64(spill + above, static_cast<__mmask8>((1U << count_gt) - 1),
                                 _mm512_maskz_compress_epi64(gt, v));
        below += count_lt;
        above += count_gt;
    }
    return partition_rest(keys, n, n, pivot, spill, below, above);
}

// A table of 64 values, indexed in vector registers: entries index[i]. With
// `small`, every index is below 32.
NBZ_ALWAYS_INLINE inline __m512i entries_of(const std::int32_t* table, __m512i index, bool small) {
    const __m512i low = _mm512_permutex2var_epi32(_mm512_loadu_si512(table), index, _mm512_loadu_si512(table + 16));
    if (small) return low;
    const __m512i high =
        _mm512_permutex2var_epi32(_mm512_loadu_si512(table + 32), index, _mm512_loadu_si512(table + 48));
    return _mm512_mask_mov_epi32(low, _mm512_test_epi32_mask(index, _mm512_set1_epi32(32)), high);
}

// Each lane of `field` times `factor`, wrapping.
NBZ_ALWAYS_INLINE inline __m512i times(__m512i field, std::uint32_t factor) {
    return _mm512_mullo_epi32(field, _mm512_set1_epi32(static_cast<int>(factor)));
}

// survivors_in_turn for a sample without sixteens, in two passes. The
// first packs each sixteen positions' survivors to the front of vector
// registers and stores them one after another: costs, outputs and steps in
// their slots, parents and codes for the second pass, which works out the
// rest of their states sixteen slots at a time, reading their parents' terms
// from tables in registers.
std::size_t survivors_in_vectors(const candidate_terms& t, const paths& from, const candidates& c,
                                 const position_set& chosen, std::uint64_t base, paths& next, history_row& steps,
                                 state_hashes& hashes) {
    if (c.extras != 0) return survivors_in_turn(t, from, c, chosen, base, next, steps, hashes, 16);
    const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i base_vector = _mm512_set1_epi64(static_cast<long long>(base));
    alignas(64) std::array<std::int32_t, paths_max + 16> parents;  // room for a whole last vector
    alignas(64) std::array<std::int32_t, paths_max + 16> codes;
    std::size_t kept = 0;
    for (std::size_t h = 0; h < halves; ++h) {
        for (std::size_t q = 0; 16 * q < c.path_count; ++q) {
            const auto m = static_cast<__mmask16>(chosen[h] >> (16 * q));
            const std::size_t at = h * other_base + 16 * q;
            const auto count = static_cast<unsigned>(std::popcount(static_cast<unsigned>(m)));
            const auto first = static_cast<__mmask16>((1U << count) - 1);
            const __m512i slots = _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(16 * q)));
            _mm512_mask_storeu_epi32(parents.data() + kept, first, _mm512_maskz_compress_epi32(m, slots));
            _mm512_mask_storeu_epi32(codes.data() + kept, first,
                                     _mm512_maskz_compress_epi32(m, _mm512_load_si512(t.code.data() + at)));
            _mm512_mask_storeu_epi32(next.output.data() + kept, first,
                                     _mm512_maskz_compress_epi32(m, _mm512_load_si512(t.output.data() + at)));
            _mm512_mask_storeu_epi32(next.step.data() + kept, first,
                                     _mm512_maskz_compress_epi32(m, _mm512_load_si512(t.step.data() + at)));
            for (std::size_t half = 0; half < 2; ++half) {
                const auto keys_in = static_cast<__mmask8>(m >> (8 * half));
                const __m512i keys =
                    _mm512_maskz_compress_epi64(keys_in, _mm512_load_si512(t.key.data() + at + 8 * half));
                const __m512i cost = _mm512_sub_epi64(_mm512_srli_epi64(keys, index_bits), base_vector);
                const auto n = static_cast<unsigned>(std::popcount(static_cast<unsigned>(keys_in)));
                _mm512_mask_storeu_epi64(next.cost.data() + kept, static_cast<__mmask8>((1U << n) - 1), cost);
                kept += n;
            }
        }
    }

    alignas(64) std::array<std::int32_t, paths_max> origins;
    for (std::size_t i = 0; i < paths_max; i += 16)
        _mm512_store_si512(
            origins.data() + i,
            _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from.origin.data() + i))));
    const bool small = c.path_count <= 32;
    for (std::size_t k = 0; k < kept; k += 16) {
        const auto first = static_cast<__mmask16>(kept - k >= 16 ? 0xFFFFU : (1U << (kept - k)) - 1);
        const __m512i parent = _mm512_maskz_load_epi32(first, parents.data() + k);
        const __m512i code = _mm512_maskz_load_epi32(first, codes.data() + k);
        const __m512i output = _mm512_maskz_loadu_epi32(first, next.output.data() + k);
        const __m512i step = _mm512_maskz_loadu_epi32(first, next.step.data() + k);
        const __m512i delta = _mm512_add_epi32(_mm512_mullo_epi32(code, entries_of(from.step.data(), parent, small)),
                                               entries_of(t.slope.data(), parent, small));
        const __m512i estimate = _mm512_add_epi32(delta, entries_of(t.estimate_leaked.data(), parent, small));
        const __m512i delta_prev = entries_of(from.delta.data(), parent, small);
        // state_hash, sixteen at a time.
        __m512i hash = times(output, hash_factor::output);
        hash = _mm512_xor_si512(hash, times(estimate, hash_factor::estimate));
        hash = _mm512_xor_si512(hash, times(delta, hash_factor::delta));
        hash = _mm512_xor_si512(hash, times(delta_prev, hash_factor::delta_prev));
        hash = _mm512_xor_si512(hash, times(step, hash_factor::step));
        hash = _mm512_xor_si512(hash, _mm512_srli_epi32(hash, hash_factor::fold));
        _mm512_mask_storeu_epi32(next.delta.data() + k, first, delta);
        _mm512_mask_storeu_epi32(next.delta_prev.data() + k, first, delta_prev);
        _mm512_mask_storeu_epi32(next.estimate.data() + k, first, estimate);
        _mm512_mask_storeu_epi32(hashes.data() + k, first, hash);
        _mm512_mask_cvtepi32_storeu_epi8(next.origin.data() + k, first, entries_of(origins.data(), parent, small));
        // A history step is the parent's slot, then the code, in two bytes.
        _mm512_mask_cvtepi32_storeu_epi16(steps.data() + k, first, _mm512_or_si512(parent, _mm512_slli_epi32(code, 8)));
    }
    return kept;
}

// Whether any two of the first `count` hashes may be equal: a conflict
// within a vector of sixteen, or a hash equal to one of an earlier vector.
bool may_repeat_by_conflicts(const state_hashes& hashes, std::size_t count) {
    const std::size_t vectors = (count + 15) / 16;
    __m512i v[paths_max / 16];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    __mmask16 repeats = 0;
    for (std::size_t i = 0; i < vectors; ++i) {
        const auto lanes = static_cast<__mmask16>(count - 16 * i >= 16 ? 0xFFFFU : (1U << (count - 16 * i)) - 1);
        // Past `count`, values that differ from each other in every vector.
        const __m512i unused = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        v[i] = _mm512_mask_loadu_epi32(_mm512_add_epi32(unused, _mm512_set1_epi32(static_cast<int>(~(16 * i + 15)))),
                                       lanes, hashes.data() + 16 * i);
        repeats |= _mm512_mask_test_epi32_mask(lanes, _mm512_conflict_epi32(v[i]), _mm512_set1_epi32(-1));
    }
    // Each hash of a later vector against the whole of an earlier one.
    for (std::size_t j = 16; j < count; ++j) {
        const __m512i hash = _mm512_set1_epi32(static_cast<int>(hashes[j]));
        for (std::size_t i = 0; i < j / 16; ++i) repeats |= _mm512_cmpeq_epi32_mask(v[i], hash);
    }
    return repeats != 0;
}

struct avx512_loops {
    static expansion fill_terms(const paths& p, std::size_t count, std::int32_t x, candidate_terms& t) {
        return fill_terms_whole<16>(p, count, x, t);
    }
    static void select_smallest(std::uint64_t* keys, std::size_t size, std::size_t count, std::uint64_t* spill) {
        search::select_smallest(keys, size, count, spill, partition_avx512);
    }
    static bool select_in_registers(const candidate_terms& t, candidates& c, int width, position_set& chosen,
                                    std::uint64_t& hint) {
        return select_in_registers_avx512(t, c, width, chosen, hint);
    }
    static std::size_t survivors(const candidate_terms& t, const paths& from, const candidates& c,
                                 const position_set& chosen, std::uint64_t base, paths& next, history_row& steps,
                                 state_hashes& hashes) {
        return survivors_in_vectors(t, from, c, chosen, base, next, steps, hashes);
    }
};

NBZ_SEARCH_TARGET_END

std::size_t extend_avx512(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes) {
    return extend_in_lanes<avx512_loops>(e, x, next, steps, hashes);
}

bool runs_avx512() { return NBZ_SEARCH_RUNS(NBZ_AVX512_SETS); }

}  // namespace

const kernel avx512_kernel = {search_kernel::avx512, "AVX-512", runs_avx512, extend_avx512, may_repeat_by_conflicts};

}  // namespace nbz::search
#endif
