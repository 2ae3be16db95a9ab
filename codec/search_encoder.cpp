#include "nbz/search_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "nbz/quantiser.h"
#include "nbz/state_update.h"

namespace nbz {
namespace {

constexpr std::uint64_t overflow_cost = std::uint64_t{1} << 42;  // above any history's plain error
constexpr std::uint64_t error_cap = std::uint64_t{1} << 32;      // above any in-range sample's error
constexpr std::uint64_t cost_limit = std::uint64_t{1} << 52;     // orders candidates exactly below it
// Surviving paths agree up to the last commit, so they differ over at most
// the history: one overflowing sample must outweigh that much plain error.
static_assert(overflow_cost > search_history_samples * error_cap);

// At most two candidates per path, and sixteen more for a path whose two overflow.
constexpr std::size_t candidate_max = std::size_t{search_width_max} * 18;

// Candidates are ranked by keys that hold the cost above the candidate's
// index, so that keys are distinct and a smaller key is a cheaper candidate.
constexpr int index_bits = 11;
constexpr std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
static_assert(candidate_max <= (std::size_t{1} << index_bits));
static_assert((cost_limit << index_bits) >> index_bits == cost_limit);
static_assert(((cost_limit << index_bits) | index_mask) < ~std::uint64_t{0});  // a key plus one still fits

// The smaller and the larger of two values, as values: std::min and std::max
// return references, which keeps GCC from vectorising the loops they are in.
template <class T>
constexpr T lesser(T a, T b) {
    return b < a ? b : a;
}
template <class T>
constexpr T greater(T a, T b) {
    return a < b ? b : a;
}

// |v| without a branch (magnitude's select keeps GCC from vectorising).
constexpr std::uint32_t magnitude_of(std::int32_t v) {
    const std::uint32_t sign = 0U - (static_cast<std::uint32_t>(v) >> 31);
    return (static_cast<std::uint32_t>(v) ^ sign) - sign;
}

std::uint32_t overflows(std::int32_t output) { return std::uint32_t{output > 32767} | std::uint32_t{output < -32767}; }

// Whether two states lead to the same future: every field but the peak, which
// never affects later codes or reconstructions.
bool same_state(const search_paths& p, std::size_t i, std::size_t j) {
    return p.output[i] == p.output[j] && p.estimate[i] == p.estimate[j] && p.step[i] == p.step[j] &&
           p.delta[i] == p.delta[j] && p.delta_prev[i] == p.delta_prev[j];
}

// Steps in classes about a third of an octave wide: the octave (the step's
// bit width) and which third of it the step's next four bits fall in
// (boundaries at 1 5/16 and 1 10/16, near 2^(1/3) and 2^(2/3)). Steps a few
// percent apart behave alike, so telling them apart would spend the slots
// kept for diversity on near copies.
//
// Read from the step as a float, which holds every step (at most step_max,
// below 2^24) exactly: its exponent is the octave and the top four bits of
// its mantissa the fraction. Unlike a bit count, that runs in vector
// registers.
constexpr std::uint32_t step_class(std::int32_t step) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(greater(step, 1)));
    const std::uint32_t octave = (bits >> 23) - 126;  // the bit width
    const std::uint32_t fraction = (bits >> 19) & 15U;
    return 3 * octave + std::uint32_t{fraction >= 5} + std::uint32_t{fraction >= 10};
}
static_assert(step_max < (1 << 24));
// Octave and third: 7 is 111 (bit width 3, next bits 1100), 2687 and 2688 are
// 1 0100 1111111 and 1 0101 0000000 (bit width 12).
static_assert(step_class(1) == 3 && step_class(7) == 11 && step_class(2687) == 36 && step_class(2688) == 37);

constexpr std::size_t step_class_count = std::size_t{3} * 33;  // step_class of any 32-bit step is below this
static_assert(std::tuple_size_v<decltype(search_encoder::class_cheapest)> == step_class_count);

// next_step without the table, so that it runs in vector registers: the
// step's multiplier by the code's magnitude.
constexpr std::int32_t next_step_of(std::int32_t step, std::int32_t code) {
    const std::uint32_t m = magnitude_of(code);
    const std::uint32_t scale =
        112U + 16U * std::uint32_t{m >= 1} + 8U * std::uint32_t{m >= 5} + 56U * std::uint32_t{m >= 7};
    return lesser(static_cast<std::int32_t>((static_cast<std::uint32_t>(step) * scale + 127U) >> 7), step_max);
}

constexpr bool next_step_of_matches_table() {
    for (const std::int32_t step : {1, 7, 8, 1000, 2048, 65535, step_max - 1, step_max})
        for (std::int32_t code = -8; code <= 7; ++code)
            if (next_step_of(step, code) != next_step(step, code)) return false;
    return true;
}
static_assert(next_step_of_matches_table());

// |output - x|, capped at 65536 (which only an overflowing output reaches).
// The output is first brought within 2^17 so that the difference is exact in
// 32 bits.
std::uint32_t capped_error(std::int32_t output, std::int32_t x) {
    const std::int32_t near = greater(lesser(output, 1 << 17), -(1 << 17));
    return static_cast<std::uint32_t>(lesser(static_cast<std::int32_t>(magnitude_of(near - x)), 65536));
}

// The key of a candidate extending a path of cost `cost`, whose output has
// error `error` (capped) and overflows or not: its cost is the squared error,
// plus overflow_cost for an output outside -32767..32767 (so error_cap caps
// the squared error there).
std::uint64_t key_of(std::uint64_t cost, std::uint32_t error, std::uint32_t overflow, std::size_t index) {
    const std::uint64_t total = cost + std::uint64_t{error} * error + overflow_cost * overflow;
    return std::min(total, cost_limit) << index_bits | index;
}
static_assert(std::uint64_t{65536} * 65536 == error_cap);

search_paths& alive(search_encoder& e) { return e.path_sets[static_cast<std::size_t>(e.current)]; }
const search_paths& alive(const search_encoder& e) { return e.path_sets[static_cast<std::size_t>(e.current)]; }

// The history row of pending sample p.
std::array<search_step, search_width_max>& row_of(search_encoder& e, std::size_t p) {
    return e.history[(e.first + p) % search_history_samples];
}
const std::array<search_step, search_width_max>& row_of(const search_encoder& e, std::size_t p) {
    return e.history[(e.first + p) % search_history_samples];
}

int cheapest(const search_encoder& e) {
    const search_paths& paths = alive(e);
    int best = 0;
    for (int k = 1; k < e.path_count; ++k)
        if (paths.cost[static_cast<std::size_t>(k)] < paths.cost[static_cast<std::size_t>(best)]) best = k;
    return best;
}

// The codes of the first `count` pending samples along the path in `slot`.
void codes_along(const search_encoder& e, int slot, std::size_t count, std::span<int, search_history_samples> codes) {
    auto j = static_cast<std::size_t>(slot);
    for (std::size_t p = e.pending - 1; p >= count; --p) j = row_of(e, p)[j].parent;
    for (std::size_t p = count; p-- > 0;) {
        const search_step& step = row_of(e, p)[j];
        codes[p] = step.code;  // NOLINT(bugprone-signed-char-misuse): -8..7
        j = step.parent;
    }
}

// Commits the first `count` pending samples along the path in `slot`: packs
// their codes into `words`, replays them into the committed state and adds up
// the error totals. Returns the number of words.
std::size_t commit(search_encoder& e, int slot, std::size_t count, std::span<std::uint32_t, search_max_words> words) {
    std::array<int, search_history_samples> codes{};
    codes_along(e, slot, count, codes);
    for (std::size_t p = 0; p < count; ++p) {
        if (p % 8 == 0) words[p / 8] = 0;
        words[p / 8] |= code_bits(codes[p], static_cast<int>(p % 8));
        advance(e.committed, codes[p]);
        const std::size_t row = (e.first + p) % search_history_samples;
        if (e.counted[row]) {
            const double x = e.inputs[row];
            const double y = std::clamp(e.committed.output, -32768, 32767);
            e.signal_energy += x * x;
            e.noise_energy += (y - x) * (y - x);
        }
    }
    return count / 8;
}

// A hash of the five fields that make a state (see same_state).
std::uint32_t state_hash(std::int32_t output, std::int32_t estimate, std::int32_t delta, std::int32_t delta_prev,
                         std::int32_t step) {
    std::uint32_t h = static_cast<std::uint32_t>(output) * 0x9E3779B1U;
    h ^= static_cast<std::uint32_t>(estimate) * 0x85EBCA77U;
    h ^= static_cast<std::uint32_t>(delta) * 0x27D4EB2FU;
    h ^= static_cast<std::uint32_t>(delta_prev) * 0x165667B1U;
    h ^= static_cast<std::uint32_t>(step) * 0xC2B2AE3DU;
    return h ^ (h >> 15);
}

constexpr std::uint64_t unclaimed = ~std::uint64_t{0};  // above every key
// In place of a path's missing candidate: above every candidate's key, below
// those that selection puts in place of the class winners (unclaimed - k).
constexpr std::uint64_t no_candidate = unclaimed - 2 * step_class_count;

// Candidate indices: path k's greedy code is 2k and its other code 2k + 1;
// the sixteen codes of the m-th path whose two overflow follow from
// extra_base + 16m. So the indices run in path order, which breaks ties
// between equal costs (favouring earlier paths, which came from cheaper
// candidates, matters on silence). Their terms are at term_at(index).
constexpr std::size_t extra_base = std::size_t{2} * search_width_max;
constexpr std::size_t index_count = extra_base + std::size_t{16} * search_width_max;
static_assert(index_count <= (std::size_t{1} << index_bits));

// Where the terms of the candidate with `index` are: path k's greedy code at
// k, its other code at search_width_max + k, the sixteens at their index.
std::size_t term_at(std::size_t index) {
    return index < extra_base ? (index % 2) * search_width_max + index / 2 : index;
}

// Every candidate worked out in full: one array per quantity, so that the
// loops that fill and read them run in vector registers.
struct candidate_terms {
    std::array<std::int32_t, index_count> code;
    std::array<std::int32_t, index_count> parent;
    std::array<std::int32_t, index_count> delta;
    std::array<std::int32_t, index_count> estimate;
    std::array<std::int32_t, index_count> output;
    std::array<std::int32_t, index_count> step;
    std::array<std::uint32_t, index_count> hash;
    // Of the first two candidates of each path only.
    std::array<std::uint32_t, extra_base> error;     // |output - x|, capped
    std::array<std::uint32_t, extra_base> overflow;  // 1 when the output leaves -32767..32767
    std::array<std::uint32_t, extra_base> step_class;
    // Every candidate's key and step class, at its index for the first two of
    // each path (see position_of). A path with one candidate has a key above
    // every candidate's in place of its other.
    std::array<std::uint64_t, index_count> key;
    std::array<std::uint32_t, index_count> class_at;
    std::array<std::int32_t, search_width_max> usable;  // 1 when the other code is not the greedy one again
    // The parts of each path's next state that do not depend on the code.
    std::array<std::int32_t, search_width_max> slope;
    std::array<std::int32_t, search_width_max> output_leaked;
    std::array<std::int32_t, search_width_max> estimate_leaked;
};

// Candidate j, extending path k by t.code[j], from the parts of the path's
// next state that do not depend on the code.
[[gnu::always_inline]] inline void fill_candidate(candidate_terms& t, std::size_t j, std::size_t k, std::int32_t step,
                                                  std::int32_t delta_prev) {
    const std::int32_t delta = wrap_add(t.code[j] * step, t.slope[k]);
    const std::int32_t output = wrap_add(delta, t.output_leaked[k]);
    const std::int32_t estimate = wrap_add(delta, t.estimate_leaked[k]);
    const std::int32_t next = next_step_of(step, t.code[j]);
    t.parent[j] = static_cast<std::int32_t>(k);
    t.delta[j] = delta;
    t.output[j] = output;
    t.estimate[j] = estimate;
    t.step[j] = next;
    t.hash[j] = state_hash(output, estimate, delta, delta_prev, next);
}

// What candidate j's cost and step class take from its terms.
[[gnu::always_inline]] inline void fill_cost_terms(candidate_terms& t, std::size_t j, std::int32_t x) {
    t.error[j] = capped_error(t.output[j], x);
    t.overflow[j] = overflows(t.output[j]);
    t.step_class[j] = step_class(t.step[j]);
}

// The greedy code and the next one toward the residual, whose levels bracket
// the residual (a code further out only moves the reconstruction further
// from it), when that is a code; else the greedy code again. No branch: the
// loops run across paths in vector registers.
//
// The loops run over whole vectors of paths (see whole_vectors), past the
// paths alive into slots that hold earlier or initial states (search_init
// fills them), so that no path takes the slow scalar remainder; those lanes
// are ignored.
[[gnu::always_inline]] inline void fill_terms(const search_paths& p, std::size_t paths, std::int32_t x,
                                              candidate_terms& t) {
    constexpr std::size_t o = search_width_max;  // where the other codes start
    for (std::size_t k = 0; k < paths; ++k) {
        const std::int32_t step = p.step[k];
        const std::int32_t slope = wrap_sub(p.delta[k], p.delta_prev[k]);
        const std::int32_t residual = wrap_sub(x, wrap_add(wrap_sub(p.estimate[k], floor_div8(p.estimate[k])), slope));
        const std::int32_t greedy = quantise(residual, step);
        const std::int32_t toward = greedy + ((residual >> 31) | 1);
        const auto usable = static_cast<std::int32_t>(static_cast<std::uint32_t>(toward + 8) <= 15U);
        t.code[k] = greedy;
        t.code[o + k] = greedy + usable * (toward - greedy);
        t.usable[k] = usable;
        t.slope[k] = slope;
        t.output_leaked[k] = wrap_sub(p.output[k], floor_div8(p.output[k]));
        t.estimate_leaked[k] = wrap_sub(p.estimate[k], round_div8(p.estimate[k]));
        fill_candidate(t, k, k, step, p.delta[k]);
        fill_candidate(t, o + k, k, step, p.delta[k]);
    }
    for (std::size_t k = 0; k < paths; ++k) {
        fill_cost_terms(t, k, x);
        fill_cost_terms(t, o + k, x);
    }
    for (std::size_t k = 0; k < paths; ++k) {
        const std::uint64_t other = key_of(p.cost[k], t.error[o + k], t.overflow[o + k], 2 * k + 1);
        const std::uint64_t keep = 0 - static_cast<std::uint64_t>(t.usable[k]);
        t.key[2 * k] = key_of(p.cost[k], t.error[k], t.overflow[k], 2 * k);
        t.key[2 * k + 1] = (other & keep) | ((no_candidate - k) & ~keep);
        t.class_at[2 * k] = t.step_class[k];
        t.class_at[2 * k + 1] = t.step_class[o + k];
    }
}

// The survivors' states, gathered from their candidates' terms into slots
// 0..kept-1 of `next`, with their history steps and hashes.
void gather_survivors(const candidate_terms& t, const search_paths& from,
                      std::span<const std::uint64_t, search_width_max> chosen, std::size_t kept, std::uint64_t base,
                      search_paths& next, std::array<search_step, search_width_max>& steps,
                      std::array<std::uint32_t, search_width_max>& hashes) {
    for (std::size_t k = 0; k < kept; ++k) {
        const std::size_t j = term_at(static_cast<std::size_t>(chosen[k] & index_mask));
        const auto parent = static_cast<std::size_t>(t.parent[j]);
        next.cost[k] = (chosen[k] >> index_bits) - base;
        next.delta[k] = t.delta[j];
        next.delta_prev[k] = from.delta[parent];
        next.estimate[k] = t.estimate[j];
        next.output[k] = t.output[j];
        next.step[k] = t.step[j];
        next.origin[k] = from.origin[parent];
        steps[k] = {static_cast<std::uint8_t>(parent), static_cast<std::int8_t>(t.code[j])};
        hashes[k] = t.hash[j];
    }
}

// The number of paths rounded up to whole vectors of `lanes`.
std::size_t whole_vectors(std::size_t paths, std::size_t lanes) { return (paths + lanes - 1) / lanes * lanes; }
static_assert(search_width_max % 16 == 0);

// Splits keys[0..n) (distinct, one of them `pivot`) around the pivot,
// keeping their order: those below it first, then the pivot, then those above
// it. Returns the number below. `spill` has room for n + 8 keys. Every
// kernel's version gives the same result.
//
// partition_rest goes on from keys[i], with `below` keys already in place
// and `above` in the spill, and ends the partition; the vector kernels finish
// with it.
[[gnu::always_inline]] inline std::size_t partition_rest(std::uint64_t* keys, std::size_t i, std::size_t n,
                                                         std::uint64_t pivot, std::uint64_t* spill, std::size_t below,
                                                         std::size_t above) {
    for (; i < n; ++i) {
        const std::uint64_t key = keys[i];
        keys[below] = key;  // below <= i: only keys already read are overwritten
        spill[above] = key;
        below += static_cast<std::size_t>(key < pivot);
        above += static_cast<std::size_t>(key > pivot);
    }
    keys[below] = pivot;
    std::copy_n(spill, above, keys + below + 1);
    return below;
}

[[gnu::always_inline]] inline std::size_t partition_plain(std::uint64_t* keys, std::size_t n, std::uint64_t pivot,
                                                          std::uint64_t* spill) {
    return partition_rest(keys, 0, n, pivot, spill, 0, 0);
}

// A quickselect that moves the `count` smallest of keys[0..size) (distinct)
// to the front, in no particular order, is a loop of partitions around
// pivot_of the keys in [lo, hi), each followed by narrow. Its partitions
// keep the keys' order, so that every kernel's gives the same result.
std::uint64_t pivot_of(const std::uint64_t* keys, std::size_t lo, std::size_t hi) {
    // The median of the first, middle and last keys.
    const std::uint64_t a = keys[lo];
    const std::uint64_t b = keys[lo + (hi - lo) / 2];
    const std::uint64_t c = keys[hi - 1];
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Narrows [lo, hi) to the side of the pivot, now at p, where key `count` is.
void narrow(std::size_t& lo, std::size_t& hi, std::size_t count, std::size_t p) {
    // By a mask, not a branch: which way it goes is unpredictable.
    const std::size_t above = 0 - static_cast<std::size_t>(p < count);
    lo = ((p + 1) & above) | (lo & ~above);
    hi = (hi & above) | (p & ~above);
}

using spill_keys = std::array<std::uint64_t, candidate_max + 8>;

void select_smallest_plain(std::uint64_t* keys, std::size_t size, std::size_t count) {
    spill_keys spill;
    for (std::size_t lo = 0, hi = size; lo < count && count < hi;)
        narrow(lo, hi, count, lo + partition_plain(keys + lo, hi - lo, pivot_of(keys, lo, hi), spill.data()));
}

// The kernels: the same loops, built for each vector length.
struct kernel_loops {
    void (*fill_terms)(const search_paths&, std::size_t, std::int32_t, candidate_terms&);
    void (*select_smallest)(std::uint64_t*, std::size_t, std::size_t);
};

constexpr kernel_loops plain_loops = {[](const search_paths& p, std::size_t paths, std::int32_t x, candidate_terms& t) {
                                          fill_terms(p, whole_vectors(paths, 4), x, t);
                                      },
                                      select_smallest_plain};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NBZ_SEARCH_X86 1
[[gnu::target("avx2")]] void fill_terms_avx2(const search_paths& p, std::size_t paths, std::int32_t x,
                                             candidate_terms& t) {
    fill_terms(p, whole_vectors(paths, 8), x, t);
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

[[gnu::target("avx2"), gnu::always_inline]] inline std::size_t partition_avx2(std::uint64_t* keys, std::size_t n,
                                                                              std::uint64_t pivot,
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

#ifdef __clang__
#define NBZ_AVX512 "avx512f,avx512vl,avx512bw,avx512dq"
#else  // GCC would otherwise keep to 256-bit vectors
#define NBZ_AVX512 "avx512f,avx512vl,avx512bw,avx512dq,prefer-vector-width=512"
#endif
[[gnu::target(NBZ_AVX512)]] void fill_terms_avx512(const search_paths& p, std::size_t paths, std::int32_t x,
                                                   candidate_terms& t) {
    fill_terms(p, whole_vectors(paths, 16), x, t);
}

[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline std::size_t partition_avx512(std::uint64_t* keys, std::size_t n,
                                                                                    std::uint64_t pivot,
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
#undef NBZ_AVX512

[[gnu::target("avx2")]] void select_smallest_avx2(std::uint64_t* keys, std::size_t size, std::size_t count) {
    spill_keys spill;
    for (std::size_t lo = 0, hi = size; lo < count && count < hi;)
        narrow(lo, hi, count, lo + partition_avx2(keys + lo, hi - lo, pivot_of(keys, lo, hi), spill.data()));
}
[[gnu::target("avx512f,avx512vl,avx512bw,avx512dq")]] void select_smallest_avx512(std::uint64_t* keys, std::size_t size,
                                                                                  std::size_t count) {
    spill_keys spill;
    for (std::size_t lo = 0, hi = size; lo < count && count < hi;)
        narrow(lo, hi, count, lo + partition_avx512(keys + lo, hi - lo, pivot_of(keys, lo, hi), spill.data()));
}

constexpr kernel_loops avx2_loops = {fill_terms_avx2, select_smallest_avx2};
constexpr kernel_loops avx512_loops = {fill_terms_avx512, select_smallest_avx512};
#endif

const kernel_loops& loops_of(search_kernel kernel) {
#ifdef NBZ_SEARCH_X86
    if (kernel == search_kernel::avx512) return avx512_loops;
    if (kernel == search_kernel::avx2) return avx2_loops;
#endif
    static_cast<void>(kernel);
    return plain_loops;
}

// One sample's candidates as keys, with the cheapest of each step class.
struct candidates {
    candidates(candidate_terms& t, std::span<std::uint64_t, step_class_count> cheapest)
        : keys(t.key), class_at(t.class_at), cheapest_of_class(cheapest) {}
    std::size_t count;                                             // keys in use, some of them no_candidate
    std::size_t real;                                              // keys of candidates
    std::size_t extras_at;                                         // where the keys of the sixteens start
    std::span<std::uint64_t, index_count> keys;                    // by position until selection reorders them
    std::span<std::uint32_t, index_count> class_at;                // the step class of each key, until then
    std::span<std::uint64_t, step_class_count> cheapest_of_class;  // unclaimed for classes no key has
    std::array<std::uint8_t, step_class_count> classes_seen;       // in the order first seen
    std::size_t classes;
};

// Where the key of the candidate with `index` is before selection: the first
// two of each path at their index, the sixteens from extras_at on.
std::size_t position_of(const candidates& c, std::uint64_t key) {
    const auto index = static_cast<std::size_t>(key & index_mask);
    return index < extra_base ? index : index - extra_base + c.extras_at;
}

// Expands every path by its candidate codes for sample x (see fill_terms). A
// path whose two candidates both overflow is expanded again by every code,
// after the others, so that one staying in range is found. Then finds the
// cheapest key of each class.
void expand(const search_encoder& e, const kernel_loops& loops, std::int16_t x, candidate_terms& t, candidates& c) {
    const auto paths = static_cast<std::size_t>(e.path_count);
    const search_paths& p = alive(e);
    loops.fill_terms(p, paths, x, t);

    constexpr std::size_t o = search_width_max;
    std::size_t usable = 0;
    std::uint32_t any_both = 0;
    for (std::size_t k = 0; k < paths; ++k) {
        usable += static_cast<std::size_t>(t.usable[k]);
        any_both |= t.overflow[k] & t.overflow[o + k];
    }
    std::uint64_t both_overflow = 0;  // bit k: path k's two candidates overflow
    if (any_both != 0)
        for (std::size_t k = 0; k < paths; ++k) both_overflow |= std::uint64_t{t.overflow[k] & t.overflow[o + k]} << k;
    std::size_t n = 2 * paths;
    c.extras_at = n;
    c.real = paths + usable;
    for (std::size_t j = extra_base; both_overflow != 0; both_overflow &= both_overflow - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(both_overflow));
        for (std::int32_t code = -8; code <= 7; ++code, ++j, ++n) {
            t.code[j] = code;
            fill_candidate(t, j, k, p.step[k], p.delta[k]);
            t.key[n] = key_of(p.cost[k], capped_error(t.output[j], x), overflows(t.output[j]), j);
            t.class_at[n] = step_class(t.step[j]);
        }
        c.real += 16;
    }
    c.count = n;

    // A missing candidate has its path's greedy class and a key above it, so
    // it changes no class's cheapest.
    c.classes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t k = c.class_at[i];
        std::uint64_t& cheapest = c.cheapest_of_class[k];
        c.classes_seen[c.classes] = static_cast<std::uint8_t>(k);
        c.classes += static_cast<std::size_t>(cheapest == unclaimed);
        cheapest = std::min(cheapest, c.keys[i]);
    }
}

void move_smallest_to_front(const kernel_loops& loops, std::span<std::uint64_t> keys, std::size_t count) {
    loops.select_smallest(keys.data(), keys.size(), count);
}

// Chooses the survivors among the candidates into `chosen` and returns their
// number, at most `width`. Three quarters of the slots go first to the
// cheapest candidate of each step class, so that paths which adapted the step
// differently (and pay for it only later) stay alive; the rest go to the
// cheapest of the others. The survivors come in no particular order.
std::size_t select_survivors(const kernel_loops& loops, int width, candidates& c,
                             std::span<std::uint64_t, search_width_max> chosen) {
    const std::span keys = c.keys.first(c.count);
    const std::size_t kept = std::min(c.real, static_cast<std::size_t>(width));
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, c.classes});
    const std::size_t fill = kept - for_classes;
    if (for_classes == c.classes) {
        // Every class's cheapest is taken (the usual case): take them out of
        // the keys by putting keys above all others in their place.
        for (std::size_t k = 0; k < c.classes; ++k) {
            const std::uint8_t class_id = c.classes_seen[k];
            chosen[k] = c.cheapest_of_class[class_id];
            keys[position_of(c, chosen[k])] = unclaimed - k;
        }
        move_smallest_to_front(loops, keys, fill);
    } else {
        std::array<std::uint64_t, step_class_count> winners;
        for (std::size_t k = 0; k < c.classes; ++k) winners[k] = c.cheapest_of_class[c.classes_seen[k]];
        move_smallest_to_front(loops, std::span{winners}.first(c.classes), for_classes);
        std::uint64_t taken_below = 0;  // above every winner taken; 0 when none is (no key is below it)
        for (std::size_t k = 0; k < for_classes; ++k) {
            chosen[k] = winners[k];
            taken_below = std::max(taken_below, winners[k] + 1);
        }
        // The others: every key but the winners just taken (a class's winner
        // below every winner not taken).
        std::size_t others = 0;
        for (std::size_t n = 0; n < keys.size(); ++n) {
            const std::uint64_t key = keys[n];
            const bool taken = (key == c.cheapest_of_class[c.class_at[n]]) & (key < taken_below);
            keys[others] = key;
            others += static_cast<std::size_t>(!taken);
        }
        move_smallest_to_front(loops, keys.first(others), fill);
    }
    std::copy_n(keys.begin(), fill, chosen.begin() + static_cast<std::ptrdiff_t>(for_classes));
    return kept;
}

// Survivors that reach the same state have the same future, so only the
// cheapest of them is kept. Found by a hash of the five fields; a table four
// times the survivors' number keeps probes short, and the full hashes settle
// most probes without comparing states.
class distinct_paths {
public:
    explicit distinct_paths(std::size_t count) : size_(std::bit_ceil(4 * count)) { slots_.fill(0); }

    // Returns the slot of an earlier path with the same state as path
    // `slot`, whose hash is hashes[slot], or -1 after remembering `slot` as a
    // new state.
    int find_or_add(const search_paths& paths, std::span<const std::uint32_t, search_width_max> hashes,
                    std::size_t slot) {
        for (std::uint32_t probe = hashes[slot];; ++probe) {
            std::uint8_t& entry = slots_[probe & (size_ - 1)];
            if (entry == 0) {
                entry = static_cast<std::uint8_t>(slot + 1);
                return -1;
            }
            const std::size_t other = entry - 1U;
            if (hashes[other] == hashes[slot] && same_state(paths, other, slot)) return static_cast<int>(other);
        }
    }

private:
    std::size_t size_;
    std::array<std::uint8_t, std::size_t{4} * search_width_max> slots_;  // path slot + 1, 0 when free
};

// Advances the search by one sample.
void search_sample(search_encoder& e, std::int16_t x, bool counted) {
    const kernel_loops& loops = loops_of(e.kernel);
    candidate_terms t;
    candidates c{t, e.class_cheapest};
    std::array<std::uint64_t, search_width_max> chosen;
    expand(e, loops, x, t, c);
    const std::size_t kept = select_survivors(loops, e.width, c, chosen);
    // Costs are kept relative to the cheapest, so that they cannot grow
    // without bound. The cheapest candidate is its class's cheapest, and
    // always survives.
    std::uint64_t cheapest_key = unclaimed;
    for (std::size_t k = 0; k < c.classes; ++k) {
        std::uint64_t& cheapest = c.cheapest_of_class[c.classes_seen[k]];
        cheapest_key = std::min(cheapest_key, cheapest);
        cheapest = unclaimed;
    }
    const std::uint64_t base = cheapest_key >> index_bits;
    search_paths& next = e.path_sets[static_cast<std::size_t>(1 - e.current)];
    const std::size_t row = (e.first + e.pending) % search_history_samples;
    std::array<search_step, search_width_max>& steps = e.history[row];
    std::array<std::uint32_t, search_width_max> hashes;
    gather_survivors(t, alive(e), chosen, kept, base, next, steps, hashes);

    // Merge survivors that reach the same state into the cheapest of them.
    // Rare, so the slots are closed up only when it happens.
    distinct_paths distinct{kept};
    std::array<bool, search_width_max> merged{};
    bool any_merged = false;
    for (std::size_t k = 0; k < kept; ++k) {
        const int earlier = distinct.find_or_add(next, hashes, k);
        if (earlier < 0) continue;
        any_merged = true;
        merged[k] = true;
        const auto j = static_cast<std::size_t>(earlier);
        if (next.cost[k] < next.cost[j]) {
            next.cost[j] = next.cost[k];
            next.origin[j] = next.origin[k];
            steps[j] = steps[k];
        }
    }
    std::size_t count = kept;
    if (any_merged) {
        count = 0;
        for (std::size_t k = 0; k < kept; ++k) {
            if (merged[k]) continue;
            next.delta[count] = next.delta[k];
            next.delta_prev[count] = next.delta_prev[k];
            next.estimate[count] = next.estimate[k];
            next.output[count] = next.output[k];
            next.step[count] = next.step[k];
            next.cost[count] = next.cost[k];
            next.origin[count] = next.origin[k];
            steps[count] = steps[k];
            ++count;
        }
    }
    e.current = 1 - e.current;
    e.path_count = static_cast<int>(count);
    e.inputs[row] = x;
    e.counted[row] = counted;
    ++e.pending;
    // Here the next commit will end: each path is its own origin.
    if (e.pending == search_commit_samples)
        for (std::size_t k = 0; k < count; ++k) next.origin[k] = static_cast<std::uint8_t>(k);
}

}  // namespace

search_kernel search_widest_kernel() {
#ifdef NBZ_SEARCH_X86
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq"))
        return search_kernel::avx512;
    if (__builtin_cpu_supports("avx2")) return search_kernel::avx2;
#endif
    return search_kernel::plain;
}

void search_init(search_encoder& e, int width, search_kernel kernel) {
    e.width = std::clamp(width, 1, search_width_max);
    e.kernel = std::min(kernel, search_widest_kernel());
    e.current = 0;
    e.path_count = 1;
    e.path_sets = {};  // the slots beyond the paths alive hold states too
    encoder_state initial{};
    encoder_init(initial);
    search_paths& p = alive(e);
    p.delta[0] = initial.delta;
    p.delta_prev[0] = initial.delta_prev;
    p.estimate[0] = initial.estimate;
    p.step[0] = initial.step;
    p.output[0] = initial.output;
    p.cost[0] = 0;
    p.origin[0] = 0;
    e.pending = 0;
    e.first = 0;
    encoder_init(e.committed);
    e.class_cheapest.fill(unclaimed);
    e.signal_energy = 0;
    e.noise_energy = 0;
}

std::size_t search_encode_block(search_encoder& e, std::span<const std::int16_t, 8> samples,
                                std::span<std::uint32_t, search_max_words> words, int counted) {
    for (std::size_t i = 0; i < 8; ++i) search_sample(e, samples[i], static_cast<int>(i) < counted);
    if (e.pending < search_history_samples) return 0;

    // Commit the older half along the cheapest path and drop the paths that
    // disagree with it there. The history is a ring: the committed rows are
    // simply reused.
    const int best = cheapest(e);
    search_paths& p = alive(e);
    const std::uint8_t anchor = p.origin[static_cast<std::size_t>(best)];
    const std::size_t count = commit(e, best, search_commit_samples, words);
    std::array<search_step, search_width_max>& last = row_of(e, e.pending - 1);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(e.path_count); ++k) {
        if (p.origin[k] != anchor) continue;
        p.delta[kept] = p.delta[k];
        p.delta_prev[kept] = p.delta_prev[k];
        p.estimate[kept] = p.estimate[k];
        p.step[kept] = p.step[k];
        p.output[kept] = p.output[k];
        p.cost[kept] = p.cost[k];
        p.origin[kept] = static_cast<std::uint8_t>(kept);  // the commit after this one ends here
        last[kept] = last[k];
        ++kept;
    }
    e.path_count = static_cast<int>(kept);
    e.first = (e.first + search_commit_samples) % search_history_samples;
    e.pending -= search_commit_samples;
    return count;
}

std::size_t search_finish(search_encoder& e, std::span<std::uint32_t, search_max_words> words) {
    if (e.pending == 0) return 0;
    const std::size_t count = commit(e, cheapest(e), e.pending, words);
    e.first = (e.first + e.pending) % search_history_samples;
    e.pending = 0;
    return count;
}

search_path search_path_at(const search_encoder& e, int slot) {
    const auto k = static_cast<std::size_t>(slot);
    const search_paths& p = alive(e);
    return {{p.delta[k], p.delta_prev[k], p.estimate[k], p.step[k], p.output[k], 0}, p.cost[k]};
}

std::size_t search_pending_codes(const search_encoder& e, int slot, std::span<int, search_history_samples> codes) {
    if (e.pending > 0) codes_along(e, slot, e.pending, codes);
    return e.pending;
}

}  // namespace nbz
