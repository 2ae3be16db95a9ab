#include "nbz/search_encoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>
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
// registers. Adding 11 (6) to the fraction carries into the exponent when the
// fraction is at least 5 (10), so the class is the sum of three exponents,
// with no comparison.
constexpr std::uint32_t step_class(std::int32_t step) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(greater(step, 1)));
    const std::uint32_t octave_exponent = 126;  // the exponent of a float in [0.5, 1)
    return (bits >> 23) + ((bits + (11U << 19)) >> 23) + ((bits + (6U << 19)) >> 23) - 3 * octave_exponent;
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

// The codes of the first `count` (1..) pending samples along the path in
// `slot` at pending sample `at` (count - 1 or later).
void codes_along(const search_encoder& e, std::size_t slot, std::size_t at, std::size_t count,
                 std::span<int, search_history_samples> codes) {
    std::size_t j = slot;
    for (std::size_t p = at; p >= count; --p) j = row_of(e, p)[j].parent;
    for (std::size_t p = count; p-- > 0;) {
        const search_step& step = row_of(e, p)[j];
        codes[p] = step.code;  // NOLINT(bugprone-signed-char-misuse): -8..7
        j = step.parent;
    }
}

// Commits the first `count` pending samples along the path that is in
// `slot` at pending sample count - 1: packs their codes into `words`,
// replays them into the committed state and adds up the error totals.
// Returns the number of words.
std::size_t commit(search_encoder& e, std::size_t slot, std::size_t count,
                   std::span<std::uint32_t, search_max_words> words) {
    std::array<int, search_history_samples> codes{};
    codes_along(e, slot, count - 1, count, codes);
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
constexpr std::uint32_t no_class = ~std::uint32_t{0};  // no step_class is this

// Candidate positions: path k's greedy code at k, its other code at
// other_base + k, and the sixteen codes of the m-th path whose two overflow
// from extra_base + 16m. A key's index is its candidate's position, so
// equal costs go to the earlier position: greedy codes first, and among them
// earlier paths, which came from cheaper candidates (on silence, where many
// paths cost the same, that order matters).
constexpr std::size_t other_base = search_width_max;
constexpr std::size_t extra_base = std::size_t{2} * search_width_max;
constexpr std::size_t index_count = extra_base + std::size_t{16} * search_width_max;
static_assert(index_count <= (std::size_t{1} << index_bits));

// What selection needs of every candidate, at its position: one array per
// quantity, so that the loops that fill and read them run in vector
// registers. The rest of a state is worked out for the survivors only (see
// advance_survivors).
struct candidate_terms {
    alignas(64) std::array<std::int32_t, index_count> code;
    alignas(64) std::array<std::int32_t, index_count> output;
    alignas(64) std::array<std::int32_t, index_count> step;
    // A path with one candidate has a key above every candidate's in place
    // of its other, and the class of its greedy code.
    alignas(64) std::array<std::uint64_t, index_count> key;
    alignas(64) std::array<std::uint32_t, index_count> class_at;
    // Of the first two candidates of each path only.
    alignas(64) std::array<std::uint32_t, extra_base> overflow;     // 1 when the output leaves -32767..32767
    alignas(64) std::array<std::int32_t, search_width_max> usable;  // 1 when the other code is not the greedy one again
    // The parts of each path's next state that do not depend on the code.
    alignas(64) std::array<std::int32_t, search_width_max> slope;
    alignas(64) std::array<std::int32_t, search_width_max> output_leaked;
    alignas(64) std::array<std::int32_t, search_width_max> estimate_leaked;
    alignas(64) std::array<std::uint8_t, search_width_max> extra_parent;  // the path of the m-th sixteen codes
};

// The path that the candidate at `position` extends.
std::size_t parent_of(const candidate_terms& t, std::size_t position) {
    return position < extra_base ? position % search_width_max : t.extra_parent[(position - extra_base) / 16];
}

// The delta of a path with `step` that takes `code`: the rest of its next
// state follows from it and the parts that do not depend on the code.
constexpr std::int32_t delta_of(std::int32_t code, std::int32_t step, std::int32_t slope) {
    return wrap_add(code * step, slope);
}

// Candidate j, extending path k by t.code[j]: its output, next step and class.
[[gnu::always_inline]] inline void fill_candidate(candidate_terms& t, std::size_t j, std::size_t k, std::int32_t step) {
    const std::int32_t next = next_step_of(step, t.code[j]);
    t.output[j] = wrap_add(delta_of(t.code[j], step, t.slope[k]), t.output_leaked[k]);
    t.step[j] = next;
    t.class_at[j] = step_class(next);
}

// What the candidates of the paths alive come to: how many are candidates
// (not no_candidate), and whether any path's two overflow.
struct expansion {
    std::size_t candidates;
    bool any_both_overflow;
};

// Each of the `alive` paths' candidates: the greedy code and the next one
// toward the residual, whose levels bracket the residual (a code further out
// only moves the reconstruction further from it), when that is a code; else
// the greedy code again. No branch: the loops run across paths in vector
// registers.
//
// The loops run over `paths`, whole vectors of paths (see whole_vectors),
// past the paths alive into slots that hold earlier or initial states
// (search_init fills them), so that no path takes the slow scalar remainder.
// Those lanes get keys above every candidate's and no class: they are never
// chosen, and the vector selection reads whole vectors without masks.

[[gnu::always_inline]] inline expansion fill_terms(const search_paths& p, std::size_t alive, std::size_t paths,
                                                   std::int32_t x, candidate_terms& t) {
    constexpr std::size_t o = other_base;
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
        fill_candidate(t, k, k, step);
        fill_candidate(t, o + k, k, step);
    }
    std::uint32_t usable = 0;
    std::uint32_t both_overflow = 0;
    for (std::size_t k = 0; k < paths; ++k) {
        t.overflow[k] = overflows(t.output[k]);
        t.overflow[o + k] = overflows(t.output[o + k]);
        const std::uint64_t other = key_of(p.cost[k], capped_error(t.output[o + k], x), t.overflow[o + k], o + k);
        const std::uint64_t keep = 0 - static_cast<std::uint64_t>(t.usable[k]);
        const auto is_alive = std::uint32_t{k < alive};
        const std::uint64_t dead = std::uint64_t{is_alive} - 1;
        t.key[k] = key_of(p.cost[k], capped_error(t.output[k], x), t.overflow[k], k) | dead;
        t.key[o + k] = (other & keep) | ((no_candidate - k) & ~keep) | dead;
        t.class_at[k] |= no_class & static_cast<std::uint32_t>(dead);
        t.class_at[o + k] |= no_class & static_cast<std::uint32_t>(dead);
        usable += static_cast<std::uint32_t>(t.usable[k]) & is_alive;
        both_overflow |= t.overflow[k] & t.overflow[o + k] & is_alive;
    }
    return {alive + usable, both_overflow != 0};
}

// Candidates as a set of their positions: bit j % 64 of word j / 64.
using position_set = std::array<std::uint64_t, index_count / 64>;
static_assert(index_count % 64 == 0 && other_base == 64);

void add_position(position_set& set, std::size_t position) {
    set[position / 64] |= std::uint64_t{1} << (position % 64);
}

// What the survivors take from their parents, one array per quantity.
struct survivor_terms {
    alignas(64) std::array<std::int32_t, search_width_max> code;
    alignas(64) std::array<std::int32_t, search_width_max> step;  // the parent's
    alignas(64) std::array<std::int32_t, search_width_max> slope;
    alignas(64) std::array<std::int32_t, search_width_max> estimate_leaked;
    alignas(64) std::array<std::int32_t, search_width_max> delta_prev;
};

// The survivors (`chosen`), in the order of their positions, into slots
// 0.. of `next`: their costs, outputs, steps and origins, and their history
// steps; what the rest of their states needs goes into `s` (see
// advance_survivors). Returns their number.
std::size_t gather_survivors(const candidate_terms& t, const search_paths& from, const position_set& chosen,
                             std::size_t words, std::uint64_t base, search_paths& next,
                             std::array<search_step, search_width_max>& steps, survivor_terms& s) {
    std::size_t k = 0;
    for (std::size_t w = 0; w < words; ++w) {
        for (std::uint64_t bits = chosen[w]; bits != 0; bits &= bits - 1, ++k) {
            const std::size_t j = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
            const std::size_t parent = parent_of(t, j);
            next.cost[k] = (t.key[j] >> index_bits) - base;
            next.output[k] = t.output[j];
            next.step[k] = t.step[j];
            next.origin[k] = from.origin[parent];
            steps[k] = {static_cast<std::uint8_t>(parent), static_cast<std::int8_t>(t.code[j])};
            s.code[k] = t.code[j];
            s.step[k] = from.step[parent];
            s.slope[k] = t.slope[parent];
            s.estimate_leaked[k] = t.estimate_leaked[parent];
            s.delta_prev[k] = from.delta[parent];
        }
    }
    return k;
}

// The rest of the survivors' states, and their hashes: across slots, in
// vector registers. Like fill_terms, it runs over whole vectors of slots.
[[gnu::always_inline]] inline void advance_survivors(const survivor_terms& s, std::size_t slots, search_paths& next,
                                                     std::span<std::uint32_t, search_width_max> hashes) {
    for (std::size_t k = 0; k < slots; ++k) {
        const std::int32_t delta = delta_of(s.code[k], s.step[k], s.slope[k]);
        const std::int32_t estimate = wrap_add(delta, s.estimate_leaked[k]);
        next.delta[k] = delta;
        next.estimate[k] = estimate;
        next.delta_prev[k] = s.delta_prev[k];
        hashes[k] = state_hash(next.output[k], estimate, delta, s.delta_prev[k], next.step[k]);
    }
}

// The number of paths rounded up to whole vectors of `lanes`.
std::size_t whole_vectors(std::size_t paths, std::size_t lanes) { return (paths + lanes - 1) / lanes * lanes; }
static_assert(search_width_max % 16 == 0);

// Splits keys[0..n) (distinct, one of them `pivot`) around the pivot,
// keeping their order: those below it first, then the pivot, then those above
// it. Returns the number below. `spill` has room for n + 8 keys.
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
    for (std::size_t k = 0; k < above; ++k) keys[below + 1 + k] = spill[k];  // short: no call to memmove
    return below;
}

[[gnu::always_inline]] inline std::size_t partition_plain(std::uint64_t* keys, std::size_t n, std::uint64_t pivot,
                                                          std::uint64_t* spill) {
    return partition_rest(keys, 0, n, pivot, spill, 0, 0);
}

// A quickselect that moves the `count` smallest of keys[0..size) (distinct)
// to the front, in no particular order, is a loop of partitions around
// pivot_of the keys in [lo, hi), each followed by narrow.
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

[[gnu::noinline]] void select_smallest_plain(std::uint64_t* keys, std::size_t size, std::size_t count) {
    spill_keys spill;
    for (std::size_t lo = 0, hi = size; lo < count && count < hi;)
        narrow(lo, hi, count, lo + partition_plain(keys + lo, hi - lo, pivot_of(keys, lo, hi), spill.data()));
}

// One sample's candidates: those of each path, at positions 0..paths-1 and
// other_base..other_base+paths-1, and the sixteens of `extras` paths from
// extra_base on.
struct candidates {
    std::size_t paths;
    std::size_t extras;
    std::size_t real;                                           // keys of candidates, not no_candidate
    std::array<std::uint64_t, step_class_count> class_winners;  // in no particular order
    std::size_t classes;
    std::uint64_t cheapest;  // the cheapest key
};

// Calls f(begin, end) for each range of positions in use.
template <class F>
void for_each_range(const candidates& c, F f) {
    f(std::size_t{0}, c.paths);
    f(other_base, other_base + c.paths);
    if (c.extras != 0) f(extra_base, extra_base + 16 * c.extras);
}

// How many survive of a sample's candidates: `kept` in all, of which
// `for_classes` are class winners and `fill` the cheapest of the others.
struct survivor_counts {
    std::size_t kept;
    std::size_t for_classes;
    std::size_t fill;
};

survivor_counts counts_of(const candidates& c, int width) {
    const std::size_t kept = std::min(c.real, static_cast<std::size_t>(width));
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, c.classes});
    return {kept, for_classes, kept - for_classes};
}

// The kernels: the same loops, built for each vector length.
struct kernel_loops {
    expansion (*fill_terms)(const search_paths&, std::size_t, std::int32_t, candidate_terms&);
    void (*select_smallest)(std::uint64_t*, std::size_t, std::size_t);
    // The survivors' states (see gather_survivors and advance_survivors).
    std::size_t (*survivors)(const candidate_terms&, const search_paths&, const candidates&, const position_set&,
                             std::uint64_t, search_paths&, std::array<search_step, search_width_max>&,
                             std::span<std::uint32_t, search_width_max>);
    // The whole selection of most samples without sixteens, or null (see
    // select_survivors): false when it leaves the sample to the general one.
    bool (*select_survivors)(const candidate_terms&, candidates&, int, position_set&, std::uint64_t&);
    // Whether any two of the first `count` hashes may be equal.
    bool (*may_repeat)(std::span<const std::uint32_t, search_width_max>, std::size_t);
};

// The survivors' states in slots 0.. of `next`, with their history steps and
// hashes, as gather_survivors and advance_survivors find them. Returns their
// number.
[[gnu::always_inline]] inline std::size_t survivors_in_turn(const candidate_terms& t, const search_paths& from,
                                                            const candidates& c, const position_set& chosen,
                                                            std::uint64_t base, search_paths& next,
                                                            std::array<search_step, search_width_max>& steps,
                                                            std::span<std::uint32_t, search_width_max> hashes,
                                                            std::size_t lanes) {
    survivor_terms s;
    const std::size_t words = 2 + (16 * c.extras + 63) / 64;  // those that can hold positions in use
    const std::size_t kept = gather_survivors(t, from, chosen, words, base, next, steps, s);
    const std::size_t slots = whole_vectors(kept, lanes);
    for (std::size_t k = kept; k < slots; ++k)
        s.code[k] = s.step[k] = s.slope[k] = s.estimate_leaked[k] = s.delta_prev[k] = 0;
    advance_survivors(s, slots, next, hashes);
    return kept;
}

// Whether any two of the first `count` hashes are equal: each hash against
// all of them, in loops of fixed length that run in vector registers, so
// that a repeat (rare) is found without a table.
[[gnu::always_inline]] inline bool any_repeat(std::span<const std::uint32_t, search_width_max> hashes,
                                              std::size_t count) {
    std::uint32_t matches = 0;
    for (std::size_t j = 0; j < count; ++j)
        for (std::size_t i = 0; i < count; ++i) matches += std::uint32_t{hashes[i] == hashes[j]};
    return matches > count;  // more than each hash matching itself
}

// fill_terms over whole vectors of `lanes`: a fixed number of them, which
// the compiler unrolls, when up to four.
template <std::size_t lanes>
[[gnu::always_inline]] inline expansion fill_terms_whole(const search_paths& p, std::size_t paths, std::int32_t x,
                                                         candidate_terms& t) {
    switch (whole_vectors(paths, lanes) / lanes) {
        case 1:
            return fill_terms(p, paths, lanes, x, t);
        case 2:
            return fill_terms(p, paths, 2 * lanes, x, t);
        case 3:
            return fill_terms(p, paths, 3 * lanes, x, t);
        case 4:
            return fill_terms(p, paths, 4 * lanes, x, t);
        default:
            return fill_terms(p, paths, whole_vectors(paths, lanes), x, t);
    }
}

// The loops of a kernel whose vectors hold `lanes` 32-bit lanes, compiled
// with `attributes` (the processors they target).
#define NBZ_KERNEL_LOOPS(suffix, attributes, lanes)                                                                    \
    attributes expansion fill_terms_##suffix(const search_paths& p, std::size_t paths, std::int32_t x,                 \
                                             candidate_terms& t) {                                                     \
        return fill_terms_whole<(lanes)>(p, paths, x, t);                                                              \
    }                                                                                                                  \
    attributes std::size_t survivors_##suffix(const candidate_terms& t, const search_paths& from, const candidates& c, \
                                              const position_set& chosen, std::uint64_t base, search_paths& next,      \
                                              std::array<search_step, search_width_max>& steps,                        \
                                              std::span<std::uint32_t, search_width_max> hashes) {                     \
        return survivors_in_turn(t, from, c, chosen, base, next, steps, hashes, lanes);                                \
    }

NBZ_KERNEL_LOOPS(plain, , 4)
bool may_repeat_plain(std::span<const std::uint32_t, search_width_max> hashes, std::size_t count) {
    return any_repeat(hashes, count);
}
constexpr kernel_loops plain_loops = {fill_terms_plain, select_smallest_plain, survivors_plain, nullptr,
                                      may_repeat_plain};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NBZ_SEARCH_X86 1
NBZ_KERNEL_LOOPS(avx2, [[gnu::target("avx2")]], 8)
// Whether any two of the first `count` hashes may be equal: each vector of
// eight against its rotations, and each later hash against every earlier
// vector. The work grows as the square of the count: beyond 40 hashes, the
// table that finds equal states costs less.
[[gnu::target("avx2")]] bool may_repeat_avx2(std::span<const std::uint32_t, search_width_max> hashes,
                                             std::size_t count) {
    if (count > 40) return true;
    const std::size_t vectors = (count + 7) / 8;
    __m256i v[search_width_max / 8];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
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

// GCC 12 warns that the "undefined" vectors which its own unmasked
// 512-bit intrinsics start from are uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#ifdef __clang__
#define NBZ_AVX512 "avx512f,avx512vl,avx512bw,avx512dq"
#else  // GCC would otherwise keep to 256-bit vectors
#define NBZ_AVX512 "avx512f,avx512vl,avx512bw,avx512dq,prefer-vector-width=512"
#endif
NBZ_KERNEL_LOOPS(avx512, [[gnu::target(NBZ_AVX512)]], 16)

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

// The first two candidates of each path, eight to a vector: vector v of half
// h holds positions h * other_base + 8v onwards. Past the paths alive,
// fill_terms leaves keys above every candidate's and no class.
constexpr std::size_t halves = 2;

// The minimum (maximum) across the lanes, in every lane.
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m512i lowest_of(__m512i v) {
    v = _mm512_min_epu64(v, _mm512_shuffle_i64x2(v, v, 0x4E));
    v = _mm512_min_epu64(v, _mm512_shuffle_i64x2(v, v, 0xB1));
    return _mm512_min_epu64(v, _mm512_shuffle_epi32(v, _MM_PERM_BADC));
}
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m256i lowest_of(__m256i v) {
    v = _mm256_min_epu32(v, _mm256_permute2x128_si256(v, v, 1));
    v = _mm256_min_epu32(v, _mm256_shuffle_epi32(v, 0x4E));
    return _mm256_min_epu32(v, _mm256_shuffle_epi32(v, 0xB1));
}
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m256i highest_of(__m256i v) {
    v = _mm256_max_epu32(v, _mm256_permute2x128_si256(v, v, 1));
    v = _mm256_max_epu32(v, _mm256_shuffle_epi32(v, 0x4E));
    return _mm256_max_epu32(v, _mm256_shuffle_epi32(v, 0xB1));
}

// The minima of eight vectors, in order in the lanes of one: three rounds
// that each halve all eight at once.
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m512i minima_of_eight(const __m512i* m) {
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
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m512i class_winners(const __m512i* keys,
                                                                             const __m256i* offsets, int first) {
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
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __mmask64 joined(const __mmask8* m) {
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
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline std::array<std::uint64_t, halves> lanes_below(
    const __m512i* keys, std::uint64_t bound) {
    const __m512i b = _mm512_set1_epi64(static_cast<long long>(bound));
    __mmask8 below[halves * vectors];  // NOLINT(cppcoreguidelines-avoid-c-arrays): mask registers
    for (std::size_t i = 0; i < halves * vectors; ++i) below[i] = _mm512_cmplt_epu64_mask(keys[i], b);
    return {_cvtmask64_u64(joined<vectors>(below)), _cvtmask64_u64(joined<vectors>(below + vectors))};
}

// The number of keys below `bound`.
template <std::size_t vectors>
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline std::size_t count_below(const __m512i* keys,
                                                                               std::uint64_t bound) {
    const std::array<std::uint64_t, halves> lanes = lanes_below<vectors>(keys, bound);
    return static_cast<std::size_t>(std::popcount(lanes[0])) + static_cast<std::size_t>(std::popcount(lanes[1]));
}

// The selection of select_survivors for a sample without sixteens, in
// 512-bit vectors held in registers (`vectors` to a half), when its classes
// span at most 16 and every class's winner is taken; else returns false,
// having chosen nothing.
//
// The classes present form a run (steps change by small factors), so the
// winners of the classes from the lowest on are found in one pass over the
// keys for each eight classes, into vectors that each key's class indexes:
// a key is its class's winner when it equals the entry. The cheapest others
// are those below a bound, found by counting the keys below trial bounds
// until at most eight keys are in doubt, and then ranking those against
// each other. `hint` (the last bound's distance from the cheapest key) only
// makes the first trial bounds good ones: the set chosen is the same
// whatever it holds.
template <std::size_t vectors>
[[gnu::target(NBZ_AVX512)]] bool select_in_registers(const candidate_terms& t, candidates& c, int width,
                                                     position_set& chosen, std::uint64_t& hint) {
    constexpr std::size_t n = halves * vectors;
    __m512i keys[n];     // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
    __m256i classes[n];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = (i / vectors) * other_base + 8 * (i % vectors);
        keys[i] = _mm512_load_si512(t.key.data() + at);
        classes[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.class_at.data() + at));
    }
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
    __m256i offsets[n];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
    for (std::size_t i = 0; i < n; ++i) offsets[i] = _mm256_sub_epi32(classes[i], low);
    const __m512i first_eight = class_winners<n>(keys, offsets, 0);
    const __m512i next_eight = span > 8 ? class_winners<n>(keys, offsets, 8) : absent;
    const auto present = static_cast<unsigned>(_mm512_cmpneq_epu64_mask(first_eight, absent)) |
                         static_cast<unsigned>(_mm512_cmpneq_epu64_mask(next_eight, absent)) << 8U;
    c.classes = static_cast<std::size_t>(std::popcount(present));
    const auto cheapest_key =
        static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(lowest_of(cheapest))));
    c.cheapest = cheapest_key;
    const survivor_counts counts = counts_of(c, width);
    if (counts.for_classes < c.classes) return false;

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
    if (counts.fill == 0) return true;

    const auto plus = [](std::uint64_t a, std::uint64_t b) { return a > unclaimed - b ? unclaimed : a + b; };
    // Always count_below(lo) < fill <= count_below(hi).
    // The first trial bounds lie around the last bound's distance from the
    // cheapest key.
    const auto last = greater<std::uint64_t>(hint, 8);
    // In ascending order, so that their counts ascend too.
    const std::array<std::uint64_t, 4> trials = {cheapest_key + last / 2, cheapest_key + (last - last / 8),
                                                 plus(cheapest_key, last + last / 8),
                                                 plus(cheapest_key, last + last / 2)};
    // The bracket from the trials: those below fill, if any, and the next,
    // if any (else below_hi < fill still).
    std::array<std::uint64_t, 6> bounds;
    std::array<std::size_t, 6> below;
    bounds[0] = cheapest_key;
    below[0] = 0;
    std::size_t trials_under = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bounds[i + 1] = trials[i];
        below[i + 1] = count_below<vectors>(keys, trials[i]);
        trials_under += static_cast<std::size_t>(below[i + 1] < counts.fill);
    }
    bounds[5] = bounds[4];
    below[5] = below[4];
    std::uint64_t lo = bounds[trials_under];
    std::size_t below_lo = below[trials_under];
    std::uint64_t hi = bounds[trials_under + 1];
    std::size_t below_hi = below[trials_under + 1];
    std::uint64_t reach = last + last / 2;
    while (below_hi < counts.fill) {
        lo = hi;
        below_lo = below_hi;
        reach = plus(plus(reach, reach), plus(reach, reach));
        hi = plus(cheapest_key, reach);
        below_hi = count_below<vectors>(keys, hi);
    }
    while (below_hi - below_lo > 8) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        const std::size_t below_mid = count_below<vectors>(keys, mid);
        if (below_mid < counts.fill) {
            lo = mid;
            below_lo = below_mid;
        } else {
            hi = mid;
            below_hi = below_mid;
        }
    }
    std::uint64_t bound = hi;
    if (below_hi != counts.fill) {
        // The keys in [lo, hi), at most eight, gathered into one vector and
        // ranked against its rotations: the one with fill - below_lo - 1 of
        // them below it is the last to survive.
        __m512i doubt = none;
        std::size_t gathered = 0;
        const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
        const __m512i from = _mm512_set1_epi64(static_cast<long long>(lo));
        const __m512i to = _mm512_set1_epi64(static_cast<long long>(hi));
        for (std::size_t i = 0; i < n; ++i) {
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
        const __m512i one64 = _mm512_set1_epi64(1);
        for (int r = 1; r < 8; ++r) {
            // Rotated by r lanes (a permutation by index, which needs no
            // constant).
            const __m512i rotated = _mm512_permutexvar_epi64(_mm512_add_epi64(lanes, _mm512_set1_epi64(r)), doubt);
            rank = _mm512_mask_add_epi64(rank, _mm512_cmplt_epu64_mask(rotated, doubt), rank, one64);
        }
        const __mmask8 last_one =
            _mm512_cmpeq_epu64_mask(rank, _mm512_set1_epi64(static_cast<long long>(counts.fill - below_lo - 1)));
        bound = static_cast<std::uint64_t>(
                    _mm_cvtsi128_si64(_mm512_castsi512_si128(_mm512_maskz_compress_epi64(last_one, doubt)))) +
                1;
    }
    const std::array<std::uint64_t, halves> survivors = lanes_below<vectors>(keys, bound);
    chosen[0] |= survivors[0];
    chosen[1] |= survivors[1];
    hint = bound - cheapest_key;
    return true;
}

// select_in_registers for each number of vectors a half, 1 to 8.
using select_in_registers_fn = bool (*)(const candidate_terms&, candidates&, int, position_set&, std::uint64_t&);
template <std::size_t... vectors>
constexpr std::array<select_in_registers_fn, sizeof...(vectors)> select_in_registers_for(
    std::index_sequence<vectors...> /*unused*/) {
    return {select_in_registers<vectors + 1>...};
}
constexpr auto select_in_registers_by_vectors =
    select_in_registers_for(std::make_index_sequence<search_width_max / 8>());

[[gnu::target(NBZ_AVX512)]] bool select_survivors_avx512(const candidate_terms& t, candidates& c, int width,
                                                         position_set& chosen, std::uint64_t& hint) {
    return select_in_registers_by_vectors[(c.paths + 7) / 8 - 1](t, c, width, chosen, hint);
}

// A table of 64 values, indexed in vector registers: entries index[i]. With
// `small`, every index is below 32.
[[gnu::target(NBZ_AVX512), gnu::always_inline]] inline __m512i entries_of(const std::int32_t* table, __m512i index,
                                                                          bool small) {
    const __m512i low = _mm512_permutex2var_epi32(_mm512_loadu_si512(table), index, _mm512_loadu_si512(table + 16));
    if (small) return low;
    const __m512i high =
        _mm512_permutex2var_epi32(_mm512_loadu_si512(table + 32), index, _mm512_loadu_si512(table + 48));
    return _mm512_mask_mov_epi32(low, _mm512_test_epi32_mask(index, _mm512_set1_epi32(32)), high);
}

// survivors_in_turn for a sample without sixteens, in two passes. The
// first packs each sixteen positions' survivors to the front of vector
// registers and stores them one after another: costs, outputs and steps in
// their slots, parents and codes for the second pass, which works out the
// rest of their states sixteen slots at a time, reading their parents' terms
// from tables in registers.
[[gnu::target(NBZ_AVX512)]] std::size_t survivors_avx512_vectors(const candidate_terms& t, const search_paths& from,
                                                                 const candidates& c, const position_set& chosen,
                                                                 std::uint64_t base, search_paths& next,
                                                                 std::array<search_step, search_width_max>& steps,
                                                                 std::span<std::uint32_t, search_width_max> hashes) {
    if (c.extras != 0) return survivors_avx512(t, from, c, chosen, base, next, steps, hashes);
    const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i base_vector = _mm512_set1_epi64(static_cast<long long>(base));
    alignas(64) std::array<std::int32_t, search_width_max + 16> parents;  // room for a whole last vector
    alignas(64) std::array<std::int32_t, search_width_max + 16> codes;
    std::size_t kept = 0;
    for (std::size_t h = 0; h < halves; ++h) {
        for (std::size_t q = 0; 16 * q < c.paths; ++q) {
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

    alignas(64) std::array<std::int32_t, search_width_max> origins;
    for (std::size_t i = 0; i < search_width_max; i += 16)
        _mm512_store_si512(
            origins.data() + i,
            _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from.origin.data() + i))));
    const bool small = c.paths <= 32;
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
        __m512i hash = _mm512_mullo_epi32(output, _mm512_set1_epi32(static_cast<int>(0x9E3779B1U)));
        hash = _mm512_xor_si512(hash, _mm512_mullo_epi32(estimate, _mm512_set1_epi32(static_cast<int>(0x85EBCA77U))));
        hash = _mm512_xor_si512(hash, _mm512_mullo_epi32(delta, _mm512_set1_epi32(static_cast<int>(0x27D4EB2FU))));
        hash = _mm512_xor_si512(hash, _mm512_mullo_epi32(delta_prev, _mm512_set1_epi32(static_cast<int>(0x165667B1U))));
        hash = _mm512_xor_si512(hash, _mm512_mullo_epi32(step, _mm512_set1_epi32(static_cast<int>(0xC2B2AE3DU))));
        hash = _mm512_xor_si512(hash, _mm512_srli_epi32(hash, 15));
        _mm512_mask_storeu_epi32(next.delta.data() + k, first, delta);
        _mm512_mask_storeu_epi32(next.delta_prev.data() + k, first, delta_prev);
        _mm512_mask_storeu_epi32(next.estimate.data() + k, first, estimate);
        _mm512_mask_storeu_epi32(hashes.data() + k, first, hash);
        _mm512_mask_cvtepi32_storeu_epi8(next.origin.data() + k, first, entries_of(origins.data(), parent, small));
        // A history step is the parent's slot, then the code, in two bytes.
        static_assert(sizeof(search_step) == 2 && offsetof(search_step, code) == 1);
        _mm512_mask_cvtepi32_storeu_epi16(steps.data() + k, first, _mm512_or_si512(parent, _mm512_slli_epi32(code, 8)));
    }
    return kept;
}

// Whether any two of the first `count` hashes may be equal: a conflict
// within a vector of sixteen, or a hash equal to one of an earlier vector.
[[gnu::target(NBZ_AVX512 ",avx512cd")]] bool may_repeat_by_conflicts(
    std::span<const std::uint32_t, search_width_max> hashes, std::size_t count) {
    const std::size_t vectors = (count + 15) / 16;
    __m512i v[search_width_max / 16];  // NOLINT(cppcoreguidelines-avoid-c-arrays): vector registers
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
#undef NBZ_AVX512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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

constexpr kernel_loops avx2_loops = {fill_terms_avx2, select_smallest_avx2, survivors_avx2, nullptr, may_repeat_avx2};
constexpr kernel_loops avx512_loops = {fill_terms_avx512, select_smallest_avx512, survivors_avx512_vectors,
                                       select_survivors_avx512, may_repeat_by_conflicts};
#endif
#undef NBZ_KERNEL_LOOPS

const kernel_loops& loops_of(search_kernel kernel) {
#ifdef NBZ_SEARCH_X86
    if (kernel == search_kernel::avx512) return avx512_loops;
    if (kernel == search_kernel::avx2) return avx2_loops;
#endif
    static_cast<void>(kernel);
    return plain_loops;
}

// The cheapest key of each step class, into c.class_winners in no
// particular order. `cheapest` holds each class's cheapest so far, and is
// all unclaimed before and after.
void find_class_winners(const candidate_terms& t, candidates& c, std::span<std::uint64_t, step_class_count> cheapest) {
    std::array<std::uint8_t, step_class_count> seen;  // the classes found, in the order found
    c.classes = 0;
    for_each_range(c, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            std::uint64_t& entry = cheapest[t.class_at[j]];
            seen[c.classes] = static_cast<std::uint8_t>(t.class_at[j]);
            c.classes += static_cast<std::size_t>(entry == unclaimed);
            entry = lesser(entry, t.key[j]);
        }
    });
    c.cheapest = unclaimed;
    for (std::size_t k = 0; k < c.classes; ++k) {
        c.class_winners[k] = cheapest[seen[k]];
        c.cheapest = lesser(c.cheapest, c.class_winners[k]);
        cheapest[seen[k]] = unclaimed;
    }
}

// Expands every path by its candidate codes for sample x (see fill_terms). A
// path whose two candidates both overflow is expanded again by every code,
// so that one staying in range is found.
void expand(const search_encoder& e, const kernel_loops& loops, std::int16_t x, candidate_terms& t, candidates& c) {
    const auto paths = static_cast<std::size_t>(e.path_count);
    const search_paths& p = alive(e);
    const expansion expanded = loops.fill_terms(p, paths, x, t);
    c.paths = paths;
    c.extras = 0;
    c.real = expanded.candidates;
    if (!expanded.any_both_overflow) return;
    constexpr std::size_t o = other_base;
    std::uint64_t both_overflow = 0;  // bit k: path k's two candidates overflow
    for (std::size_t k = 0; k < paths; ++k) both_overflow |= std::uint64_t{t.overflow[k] & t.overflow[o + k]} << k;
    for (std::size_t j = extra_base; both_overflow != 0; both_overflow &= both_overflow - 1, ++c.extras) {
        const auto k = static_cast<std::size_t>(std::countr_zero(both_overflow));
        t.extra_parent[c.extras] = static_cast<std::uint8_t>(k);
        for (std::int32_t code = -8; code <= 7; ++code, ++j) {
            t.code[j] = code;
            fill_candidate(t, j, k, p.step[k]);
            t.key[j] = key_of(p.cost[k], capped_error(t.output[j], x), overflows(t.output[j]), j);
        }
        c.real += 16;
    }
}

// Chooses the survivors among the candidates into `chosen`. Up to `width`
// survive: three quarters of the slots go first to the cheapest candidate of
// each step class, so that paths which adapted the step differently (and pay
// for it only later) stay alive; the rest go to the cheapest of the others.
void select_survivors(const kernel_loops& loops, search_encoder& e, const candidate_terms& t, candidates& c,
                      position_set& chosen) {
    const int width = e.width;
    if (loops.select_survivors != nullptr && c.extras == 0 &&
        loops.select_survivors(t, c, width, chosen, e.selection_hint))
        return;
    find_class_winners(t, c, e.class_cheapest);
    const auto [kept, for_classes, fill] = counts_of(c, width);
    // Usually every class's winner is taken (there are about 7 classes
    // against 15 slots at width 20); else the cheapest winners are.
    std::array<std::uint64_t, step_class_count> winners;
    for (std::size_t k = 0; k < c.classes; ++k) winners[k] = c.class_winners[k];  // short: no call to memmove
    if (for_classes < c.classes) loops.select_smallest(winners.data(), c.classes, for_classes);
    // The others: every key, with the winners taken put above all others.
    std::array<std::uint64_t, index_count> others;
    std::size_t n = 0;
    for_each_range(c, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) others[n + (j - begin)] = t.key[j];  // short: no call to memmove
        n += end - begin;
    });
    std::array<std::uint64_t, 2> taken{};  // of the first two halves, in registers
    for (std::size_t k = 0; k < for_classes; ++k) {
        const auto j = static_cast<std::size_t>(winners[k] & index_mask);
        if (j < extra_base)
            taken[j / 64] |= std::uint64_t{1} << (j % 64);
        else
            add_position(chosen, j);
        // Where key j is among the others.
        const std::size_t at = j < other_base   ? j
                               : j < extra_base ? c.paths + (j - other_base)
                                                : 2 * c.paths + (j - extra_base);
        others[at] = unclaimed - k;
    }
    chosen[0] |= taken[0];
    chosen[1] |= taken[1];
    loops.select_smallest(others.data(), n, fill);
    for (std::size_t k = 0; k < fill; ++k) add_position(chosen, static_cast<std::size_t>(others[k] & index_mask));
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

// Moves the path in slot `from`, with its last history step, to slot `to`
// (at most `from`), closing up the slots.
void move_path(search_paths& p, std::array<search_step, search_width_max>& steps, std::size_t from, std::size_t to) {
    p.delta[to] = p.delta[from];
    p.delta_prev[to] = p.delta_prev[from];
    p.estimate[to] = p.estimate[from];
    p.step[to] = p.step[from];
    p.output[to] = p.output[from];
    p.cost[to] = p.cost[from];
    p.origin[to] = p.origin[from];
    steps[to] = steps[from];
}

// Advances the search by one sample.
void search_sample(search_encoder& e, std::int16_t x, bool counted) {
    const kernel_loops& loops = loops_of(e.kernel);
    candidate_terms t;
    candidates c;
    expand(e, loops, x, t, c);
    position_set chosen;
    std::fill_n(chosen.begin(), 2 + (16 * c.extras + 63) / 64, 0);  // the words that can hold positions in use
    select_survivors(loops, e, t, c, chosen);
    // Costs are kept relative to the cheapest, so that they cannot grow
    // without bound. The cheapest candidate is its class's cheapest, and
    // always survives.
    const std::uint64_t base = c.cheapest >> index_bits;
    const search_paths& from = alive(e);
    search_paths& next = e.path_sets[static_cast<std::size_t>(1 - e.current)];
    const std::size_t row = (e.first + e.pending) % search_history_samples;
    std::array<search_step, search_width_max>& steps = e.history[row];
    std::array<std::uint32_t, search_width_max> hashes;
    const std::size_t kept = loops.survivors(t, from, c, chosen, base, next, steps, hashes);

    // Merge survivors that reach the same state into the cheapest of them.
    // Rare, so the slots are closed up only when it happens.
    std::array<bool, search_width_max> merged;
    bool any_merged = false;
    if (loops.may_repeat(hashes, kept)) {
        merged.fill(false);
        distinct_paths distinct{kept};
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
    }
    std::size_t count = kept;
    if (any_merged) {
        count = 0;
        for (std::size_t k = 0; k < kept; ++k) {
            if (merged[k]) continue;
            move_path(next, steps, k, count);
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
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512cd"))
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
    e.selection_hint = 0;
    e.class_cheapest.fill(unclaimed);
    encoder_init(e.committed);
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
    const std::size_t count = commit(e, anchor, search_commit_samples, words);
    std::array<search_step, search_width_max>& last = row_of(e, e.pending - 1);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(e.path_count); ++k) {
        if (p.origin[k] != anchor) continue;
        move_path(p, last, k, kept);
        p.origin[kept] = static_cast<std::uint8_t>(kept);  // the commit after this one ends here
        ++kept;
    }
    e.path_count = static_cast<int>(kept);
    e.first = (e.first + search_commit_samples) % search_history_samples;
    e.pending -= search_commit_samples;
    return count;
}

std::size_t search_finish(search_encoder& e, std::span<std::uint32_t, search_max_words> words) {
    if (e.pending == 0) return 0;
    const std::size_t count = commit(e, static_cast<std::size_t>(cheapest(e)), e.pending, words);
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
    if (e.pending > 0) codes_along(e, static_cast<std::size_t>(slot), e.pending - 1, e.pending, codes);
    return e.pending;
}

}  // namespace nbz
