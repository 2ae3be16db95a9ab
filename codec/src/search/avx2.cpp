// The AVX2 kernel: the shared loops (lanes.h) in 256-bit vectors, with its
// own repeat check and quickselect partition. It must give the reference
// kernel's streams (reference.cpp).

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "nbz/attributes.h"
#include "search/encoder.h"

#ifdef NBZ_SEARCH_X86
#include <immintrin.h>

#include "search/lanes.h"
#include "search/target.h"

// The instruction sets that this kernel uses.
#define NBZ_AVX2_SETS(first, next) first(avx2)

namespace nbz::search {
namespace {

NBZ_SEARCH_TARGET_BEGIN(NBZ_AVX2_SETS)

// Whether any two of the first `count` hashes may be equal: each vector of
// eight against its rotations, and each later hash against every earlier
// vector. The work grows as the square of the count: beyond 40 hashes, the
// table that finds equal states costs less.
bool may_repeat_avx2(const state_hashes& hashes, std::size_t count) {
    if (count > 40) return true;
    const std::size_t vectors = (count + 7) / 8;
    __m256i v[paths_max / 8];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    __m256i repeats = _mm256_setzero_si256();
    const __m256i lanes = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    for (std::size_t i = 0; i < vectors; ++i) {
        const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(8 * i)));
        const __m256i in_use = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), index);
        // Lanes past `count` are not read, and hold ~index instead.
        const __m256i loaded = _mm256_maskload_epi32(reinterpret_cast<const int*>(hashes.data() + 8 * i), in_use);
        v[i] = _mm256_or_si256(loaded, _mm256_andnot_si256(in_use, _mm256_xor_si256(index, _mm256_set1_epi32(-1))));
        for (int r = 1; r < 8; ++r) {
            const __m256i rotation = _mm256_add_epi32(lanes, _mm256_set1_epi32(r));
            repeats = _mm256_or_si256(repeats, _mm256_cmpeq_epi32(v[i], _mm256_permutevar8x32_epi32(v[i], rotation)));
        }
    }
    for (std::size_t j = 8; j < count; ++j) {
        const __m256i hash = _mm256_set1_epi32(static_cast<int>(hashes[j]));
        for (std::size_t i = 0; i < j / 8; ++i) repeats = _mm256_or_si256(repeats, _mm256_cmpeq_epi32(v[i], hash));
    }
    return _mm256_testz_si256(repeats, repeats) == 0;
}

// For each mask of four 64-bit lanes, the 32-bit lanes that pack the lanes
// in the mask to the front, in order.
constexpr std::array<std::array<std::int32_t, 8>, 16> pack_table = [] {
    std::array<std::array<std::int32_t, 8>, 16> table{};
    for (std::size_t mask = 0; mask < 16; ++mask) {
        std::size_t out = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if (((mask >> lane) & 1U) == 0) continue;
            table[mask][out++] = 2 * lane;
            table[mask][out++] = 2 * lane + 1;
        }
    }
    return table;
}();

NBZ_ALWAYS_INLINE inline std::size_t partition_avx2(std::uint64_t* keys, std::size_t n, std::uint64_t pivot,
                                                    std::uint64_t* spill) {
    // No unsigned 64-bit comparison: flip the sign bits and compare signed.
    const __m256i flip = _mm256_set1_epi64x(std::numeric_limits<long long>::min());
    const __m256i p = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(pivot)), flip);
    std::size_t below = 0;
    std::size_t above = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i));
        const __m256i f = _mm256_xor_si256(v, flip);
        const auto lt = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(p, f))));
        const auto gt = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(f, p))));
        const __m256i pack_lt = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pack_table[lt].data()));
        const __m256i pack_gt = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pack_table[gt].data()));
        // Whole vectors stored: what lies past the packed lanes is only keys
        // already read, or spill that is overwritten later.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + below), _mm256_permutevar8x32_epi32(v, pack_lt));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(spill + above), _mm256_permutevar8x32_epi32(v, pack_gt));
        below += static_cast<std::size_t>(std::popcount(lt));
        above += static_cast<std::size_t>(std::popcount(gt));
    }
    return partition_rest(keys, i, n, pivot, spill, below, above);
}

struct avx2_loops {
    static expansion fill_terms(const paths& p, std::size_t count, std::int32_t x, candidate_terms& t) {
        return fill_terms_whole<8>(p, count, x, t);
    }
    static void select_smallest(std::uint64_t* keys, std::size_t size, std::size_t count, std::uint64_t* spill) {
        search::select_smallest(keys, size, count, spill, partition_avx2);
    }
    static bool select_in_registers(const candidate_terms& /*t*/, candidates& /*c*/, int /*width*/,
                                    position_set& /*chosen*/, std::uint64_t& /*hint*/) {
        return false;
    }
    static std::size_t survivors(const candidate_terms& t, const paths& from, const candidates& c,
                                 const position_set& chosen, std::uint64_t base, paths& next, history_row& steps,
                                 state_hashes& hashes) {
        return survivors_in_turn(t, from, c, chosen, base, next, steps, hashes, 8);
    }
};

NBZ_SEARCH_TARGET_END

std::size_t extend_avx2(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes) {
    return extend_in_lanes<avx2_loops>(e, x, next, steps, hashes);
}

bool runs_avx2() { return NBZ_SEARCH_RUNS(NBZ_AVX2_SETS); }

}  // namespace

const kernel avx2_kernel = {search_kernel::avx2, "AVX2", runs_avx2, extend_avx2, may_repeat_avx2};

}  // namespace nbz::search
#endif
