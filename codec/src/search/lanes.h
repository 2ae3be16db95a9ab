#pragma once
// The loops that the plain and vector kernels (plain.cpp, avx2.cpp,
// avx512.cpp) share, and the sample step that drives them (extend_in_lanes).
// Each kernel compiles them for its own instruction sets: the loops are
// inlined into the kernel's functions, which its target region covers (the
// plain kernel has none), and the step is a template on the kernel. What is
// not inlined is built for any processor of the target.
//
// The candidates of a sample are found across all paths at once, in
// branch-free loops over whole vectors of paths (see fill_terms); selection
// works on their keys; only the survivors are advanced to full states.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "nbz/attributes.h"
#include "nbz/quantiser.h"
#include "nbz/state_update.h"
#include "search/encoder.h"

namespace nbz::search {

// The path that the candidate at `position` extends.
inline std::size_t parent_of(const candidate_terms& t, std::size_t position) {
    return position < extra_base ? position % paths_max : t.extra_parent[(position - extra_base) / 16];
}

// The delta of a path with `step` that takes `code`: the rest of its next
// state follows from it and the parts that do not depend on the code.
constexpr std::int32_t delta_of(std::int32_t code, std::int32_t step, std::int32_t slope) {
    return wrap_add(code * step, slope);
}

// Candidate j, extending path k by t.code[j]: its output, next step and class.
NBZ_ALWAYS_INLINE inline void fill_candidate(candidate_terms& t, std::size_t j, std::size_t k, std::int32_t step) {
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

NBZ_ALWAYS_INLINE inline expansion fill_terms(const paths& p, std::size_t alive, std::size_t slots, std::int32_t x,
                                              candidate_terms& t) {
    constexpr std::size_t o = other_base;
    for (std::size_t k = 0; k < slots; ++k) {
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
    for (std::size_t k = 0; k < slots; ++k) {
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

inline void add_position(position_set& set, std::size_t position) {
    set[position / 64] |= std::uint64_t{1} << (position % 64);
}

// What the survivors take from their parents, one array per quantity.
struct survivor_terms {
    alignas(64) std::array<std::int32_t, paths_max> code;
    alignas(64) std::array<std::int32_t, paths_max> step;  // the parent's
    alignas(64) std::array<std::int32_t, paths_max> slope;
    alignas(64) std::array<std::int32_t, paths_max> estimate_leaked;
    alignas(64) std::array<std::int32_t, paths_max> delta_prev;
};

// The survivors (`chosen`), in the order of their positions, into slots
// 0.. of `next`: their costs, outputs, steps and origins, and their history
// steps; what the rest of their states needs goes into `s` (see
// advance_survivors). Returns their number.
inline std::size_t gather_survivors(const candidate_terms& t, const paths& from, const position_set& chosen,
                                    std::size_t words, std::uint64_t base, paths& next, history_row& steps,
                                    survivor_terms& s) {
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
NBZ_ALWAYS_INLINE inline void advance_survivors(const survivor_terms& s, std::size_t slots, paths& next,
                                                state_hashes& hashes) {
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
constexpr std::size_t whole_vectors(std::size_t count, std::size_t lanes) {
    return (count + lanes - 1) / lanes * lanes;
}
static_assert(paths_max % 16 == 0);

// Splits keys[0..n) (distinct, one of them `pivot`) around the pivot,
// keeping their order: those below it first, then the pivot, then those above
// it. Returns the number below. `spill` has room for n + 8 keys.
//
// partition_rest goes on from keys[i], with `below` keys already in place
// and `above` in the spill, and ends the partition: the plain kernel's whole
// partition, and the vector kernels' last few keys.
NBZ_ALWAYS_INLINE inline std::size_t partition_rest(std::uint64_t* keys, std::size_t i, std::size_t n,
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

// A quickselect that moves the `count` smallest of keys[0..size) (distinct)
// to the front, in no particular order, is a loop of partitions around
// pivot_of the keys in [lo, hi), each followed by narrow.
inline std::uint64_t pivot_of(const std::uint64_t* keys, std::size_t lo, std::size_t hi) {
    // The median of the first, middle and last keys.
    const std::uint64_t a = keys[lo];
    const std::uint64_t b = keys[lo + (hi - lo) / 2];
    const std::uint64_t c = keys[hi - 1];
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Narrows [lo, hi) to the side of the pivot, now at p, where key `count` is.
inline void narrow(std::size_t& lo, std::size_t& hi, std::size_t count, std::size_t p) {
    // By a mask, not a branch: which way it goes is unpredictable.
    const std::size_t above = 0 - static_cast<std::size_t>(p < count);
    lo = ((p + 1) & above) | (lo & ~above);
    hi = (hi & above) | (p & ~above);
}

// Moves the `count` smallest of keys[0..size) (distinct) to the front, in
// no particular order, partitioning with `partition` (keys, n, pivot,
// spill), whose spill has room for candidate_max + 8 keys.
template <class Partition>
NBZ_ALWAYS_INLINE inline void select_smallest(std::uint64_t* keys, std::size_t size, std::size_t count,
                                              std::uint64_t* spill, Partition partition) {
    for (std::size_t lo = 0, hi = size; lo < count && count < hi;)
        narrow(lo, hi, count, lo + partition(keys + lo, hi - lo, pivot_of(keys, lo, hi), spill));
}

// One sample's candidates: those of each path, at positions 0..paths-1 and
// other_base..other_base+paths-1, and the sixteens of `extras` paths from
// extra_base on.
struct candidates {
    std::size_t path_count;
    std::size_t extras;
    std::size_t real;                                           // keys of candidates, not no_candidate
    std::array<std::uint64_t, step_class_count> class_winners;  // in no particular order
    std::size_t classes;
    std::uint64_t cheapest;  // the cheapest key
};

// Calls f(begin, end) for each range of positions in use.
template <class F>
void for_each_range(const candidates& c, F f) {
    f(std::size_t{0}, c.path_count);
    f(other_base, other_base + c.path_count);
    if (c.extras != 0) f(extra_base, extra_base + 16 * c.extras);
}

// How many survive of a sample's candidates: `kept` in all, of which
// `for_classes` are class winners and `fill` the cheapest of the others.
struct survivor_counts {
    std::size_t kept;
    std::size_t for_classes;
    std::size_t fill;
};

inline survivor_counts counts_of(const candidates& c, int width) {
    const std::size_t kept = std::min(c.real, static_cast<std::size_t>(width));
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, c.classes});
    return {kept, for_classes, kept - for_classes};
}

// The survivors' states in slots 0.. of `next`, with their history steps and
// hashes, as gather_survivors and advance_survivors find them. Returns their
// number.
NBZ_ALWAYS_INLINE inline std::size_t survivors_in_turn(const candidate_terms& t, const paths& from, const candidates& c,
                                                       const position_set& chosen, std::uint64_t base, paths& next,
                                                       history_row& steps, state_hashes& hashes, std::size_t lanes) {
    survivor_terms s;
    const std::size_t words = 2 + (16 * c.extras + 63) / 64;  // those that can hold positions in use
    const std::size_t kept = gather_survivors(t, from, chosen, words, base, next, steps, s);
    const std::size_t slots = whole_vectors(kept, lanes);
    for (std::size_t k = kept; k < slots; ++k)
        s.code[k] = s.step[k] = s.slope[k] = s.estimate_leaked[k] = s.delta_prev[k] = 0;
    advance_survivors(s, slots, next, hashes);
    return kept;
}

// fill_terms over whole vectors of `lanes`: a fixed number of them, which
// the compiler unrolls, when up to four.
template <std::size_t lanes>
NBZ_ALWAYS_INLINE inline expansion fill_terms_whole(const paths& p, std::size_t count, std::int32_t x,
                                                    candidate_terms& t) {
    switch (whole_vectors(count, lanes) / lanes) {
        case 1:
            return fill_terms(p, count, lanes, x, t);
        case 2:
            return fill_terms(p, count, 2 * lanes, x, t);
        case 3:
            return fill_terms(p, count, 3 * lanes, x, t);
        case 4:
            return fill_terms(p, count, 4 * lanes, x, t);
        default:
            return fill_terms(p, count, whole_vectors(count, lanes), x, t);
    }
}

// The cheapest key of each step class, into c.class_winners in no
// particular order. `cheapest` holds each class's cheapest so far, and is
// all unclaimed before and after.
inline void find_class_winners(const candidate_terms& t, candidates& c,
                               std::array<std::uint64_t, step_class_count>& cheapest) {
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
template <class Kernel>
void expand(const search_encoder& e, std::int32_t x, candidate_terms& t, candidates& c) {
    const auto count = static_cast<std::size_t>(e.path_count);
    const paths& p = alive(e);
    const expansion expanded = Kernel::fill_terms(p, count, x, t);
    c.path_count = count;
    c.extras = 0;
    c.real = expanded.candidates;
    c.cheapest = unclaimed;  // set by selection
    if (!expanded.any_both_overflow) return;
    constexpr std::size_t o = other_base;
    std::uint64_t both_overflow = 0;  // bit k: path k's two candidates overflow
    for (std::size_t k = 0; k < count; ++k) both_overflow |= std::uint64_t{t.overflow[k] & t.overflow[o + k]} << k;
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

// Chooses the survivors among the candidates into `chosen`, as the
// reference kernel does: by the kernel's own selection when it takes the
// sample, else by one pass for the class winners and quickselects.
template <class Kernel>
void select_survivors(search_encoder& e, const candidate_terms& t, candidates& c, position_set& chosen) {
    const int width = e.width;
    if (c.extras == 0 && Kernel::select_in_registers(t, c, width, chosen, e.selection_hint)) return;
    scratch& s = e.scratch;
    find_class_winners(t, c, s.class_cheapest);
    const auto [kept, for_classes, fill] = counts_of(c, width);
    // Usually every class's winner is taken (there are about 7 classes
    // against 15 slots at width 20); else the cheapest winners are.
    std::array<std::uint64_t, step_class_count> winners;
    for (std::size_t k = 0; k < c.classes; ++k) winners[k] = c.class_winners[k];  // short: no call to memmove
    if (for_classes < c.classes) Kernel::select_smallest(winners.data(), c.classes, for_classes, s.spill.data());
    // The others: every key, with the winners taken put above all others.
    std::uint64_t* others = s.keys.data();
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
                               : j < extra_base ? c.path_count + (j - other_base)
                                                : 2 * c.path_count + (j - extra_base);
        others[at] = unclaimed - k;
    }
    chosen[0] |= taken[0];
    chosen[1] |= taken[1];
    Kernel::select_smallest(others, n, fill, s.spill.data());
    for (std::size_t k = 0; k < fill; ++k) add_position(chosen, static_cast<std::size_t>(others[k] & index_mask));
}

// A kernel's extend (see kernel). `Kernel` gives the functions built for its
// instruction sets: fill_terms, select_smallest, select_in_registers (false
// when it leaves the sample to select_survivors) and survivors.
template <class Kernel>
std::size_t extend_in_lanes(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes) {
    candidate_terms& t = e.scratch.terms;
    candidates c;
    expand<Kernel>(e, x, t, c);
    position_set chosen;
    std::fill_n(chosen.begin(), 2 + (16 * c.extras + 63) / 64, 0);  // the words that can hold positions in use
    select_survivors<Kernel>(e, t, c, chosen);
    // Costs are kept relative to the cheapest, so that they cannot grow
    // without bound. The cheapest candidate is its class's cheapest, and
    // always survives.
    const std::uint64_t base = c.cheapest >> index_bits;
    return Kernel::survivors(t, alive(e), c, chosen, base, next, steps, hashes);
}

}  // namespace nbz::search
