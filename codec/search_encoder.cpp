#include "nbz/search_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

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
T lesser(T a, T b) {
    return b < a ? b : a;
}
template <class T>
T greater(T a, T b) {
    return a < b ? b : a;
}

// |v| without a branch (magnitude's select keeps loops from vectorising).
std::uint32_t size_of(std::int32_t v) {
    const std::uint32_t sign = 0U - (static_cast<std::uint32_t>(v) >> 31);
    return (static_cast<std::uint32_t>(v) ^ sign) - sign;
}

std::uint32_t overflows(std::int32_t output) { return std::uint32_t{size_of(output) > 32767U}; }

// Whether two states lead to the same future: every field but the peak, which
// never affects later codes or reconstructions.
bool same_state(const search_paths& a, std::size_t i, const search_paths& b, std::size_t j) {
    return a.output[i] == b.output[j] && a.estimate[i] == b.estimate[j] && a.step[i] == b.step[j] &&
           a.delta[i] == b.delta[j] && a.delta_prev[i] == b.delta_prev[j];
}

// Steps in classes about a third of an octave wide: the octave (the step's
// bit width) and which third of it the step's next four bits fall in
// (boundaries at 1 5/16 and 1 10/16, near 2^(1/3) and 2^(2/3)). Steps a few
// percent apart behave alike, so telling them apart would spend the slots
// kept for diversity on near copies.
//
// Read from the step as a float, which holds every step (at most step_max,
// below 2^24) exactly: its exponent is the octave and the top four bits of
// its mantissa the fraction. Unlike a bit count, that runs across paths in
// vector registers.
std::uint32_t step_class(std::int32_t step) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(greater(step, 1)));
    const std::uint32_t octave = (bits >> 23) - 126;  // the bit width
    const std::uint32_t fraction = (bits >> 19) & 15U;
    return 3 * octave + std::uint32_t{fraction >= 5} + std::uint32_t{fraction >= 10};
}
static_assert(step_max < (1 << 24));

constexpr int step_class_count = 3 * 33;  // step_class of any 32-bit step is below this

// next_step without the table, so that it runs across paths: the step's
// multiplier by the code's magnitude.
std::int32_t next_step_of(std::int32_t step, std::int32_t code) {
    const std::uint32_t m = size_of(code);
    const std::uint32_t scale =
        112U + 16U * std::uint32_t{m >= 1} + 8U * std::uint32_t{m >= 5} + 56U * std::uint32_t{m >= 7};
    return lesser(static_cast<std::int32_t>((static_cast<std::uint32_t>(step) * scale + 127U) >> 7), step_max);
}

// |output - x|, capped at 65536 (which only an overflowing output reaches).
// The output is first brought within 2^17 so that the difference is exact in
// 32 bits.
std::uint32_t capped_error(std::int32_t output, std::int32_t x) {
    return lesser(size_of(greater(lesser(output, 1 << 17), -(1 << 17)) - x), 65536U);
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

// The slot at position `to` that the path in `slot` at position `from`
// descends from (positions count pending samples).
int ancestor(const search_encoder& e, int slot, std::size_t from, std::size_t to) {
    for (std::size_t p = from; p > to; --p)
        slot = e.history[(e.first + p) % search_history_samples][static_cast<std::size_t>(slot)].parent;
    return slot;
}

int cheapest(const search_encoder& e) {
    int best = 0;
    for (int k = 1; k < e.path_count; ++k)
        if (e.paths.cost[static_cast<std::size_t>(k)] < e.paths.cost[static_cast<std::size_t>(best)]) best = k;
    return best;
}

// The codes of the first `count` pending samples along the path in `slot`.
void codes_along(const search_encoder& e, int slot, std::size_t count, std::span<int, search_history_samples> codes) {
    int j = ancestor(e, slot, e.pending - 1, count - 1);
    for (std::size_t p = count; p-- > 0;) {
        const search_step& step = e.history[(e.first + p) % search_history_samples][static_cast<std::size_t>(j)];
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

// Candidate indices: path k's greedy code is 2k and its other code 2k + 1;
// the sixteen codes of the m-th path whose two overflow follow from
// extra_base + 16m. So the indices run in the order the candidates are made,
// which breaks ties between equal costs.
constexpr std::size_t extra_base = std::size_t{2} * search_width_max;
constexpr std::size_t index_count = extra_base + std::size_t{16} * search_width_max;
static_assert(index_count <= (std::size_t{1} << index_bits));

// One sample's candidates: a path extended by one code. Only the survivors'
// states are computed, from their parent's.
struct candidates {
    std::size_t count;
    std::array<std::uint64_t, candidate_max> keys;   // in index order until selection reorders them
    std::array<std::uint8_t, index_count> class_of;  // step class of the candidate with each index
    std::array<std::int8_t, index_count> code;
    std::array<std::uint8_t, search_width_max> extra_parent;  // the path of each run of sixteen
    // Per path: the parts of its next state that do not depend on the code.
    std::array<std::int32_t, search_width_max> slope;
    std::array<std::int32_t, search_width_max> output_leaked;
    std::array<std::int32_t, search_width_max> estimate_leaked;
};

std::uint8_t parent_of(const candidates& c, std::size_t index) {
    return index < extra_base ? static_cast<std::uint8_t>(index / 2) : c.extra_parent[(index - extra_base) / 16];
}

// Expands every path by its candidate codes for sample x: the greedy code and
// the next one toward the residual, whose levels bracket the residual (a
// code further out only moves the reconstruction further from it). A path
// whose two candidates both overflow is expanded again by every code, after
// the others, so that one staying in range is found.
void expand(const search_encoder& e, std::int16_t x, candidates& c) {
    const auto paths = static_cast<std::size_t>(e.path_count);
    const search_paths& p = e.paths;
    // First the 32-bit arithmetic, across all paths at once: one array per
    // quantity and no branch, so that it runs in vector registers.
    std::array<std::int32_t, search_width_max> greedy;
    std::array<std::int32_t, search_width_max> other;
    std::array<std::int32_t, search_width_max> usable;  // 1 when the other code is not the greedy one again
    std::array<std::uint32_t, search_width_max> error_greedy;
    std::array<std::uint32_t, search_width_max> error_other;
    std::array<std::uint32_t, search_width_max> overflow_greedy;
    std::array<std::uint32_t, search_width_max> overflow_other;
    std::array<std::uint32_t, search_width_max> class_greedy;
    std::array<std::uint32_t, search_width_max> class_other;
    for (std::size_t k = 0; k < paths; ++k) {
        const std::int32_t step = p.step[k];
        const std::int32_t slope = wrap_sub(p.delta[k], p.delta_prev[k]);
        const std::int32_t output_leaked = wrap_sub(p.output[k], floor_div8(p.output[k]));
        const std::int32_t residual = wrap_sub(x, wrap_add(wrap_sub(p.estimate[k], floor_div8(p.estimate[k])), slope));
        const std::int32_t g = quantise(residual, step);
        const std::int32_t toward = g + ((residual >> 31) | 1);  // one code toward the residual
        const std::int32_t u = static_cast<std::int32_t>(static_cast<std::uint32_t>(toward + 8) <= 15U);
        const std::int32_t o = g + u * (toward - g);
        const std::int32_t out_greedy = wrap_add(wrap_add(g * step, slope), output_leaked);
        const std::int32_t out_other = wrap_add(wrap_add(o * step, slope), output_leaked);
        greedy[k] = g;
        other[k] = o;
        usable[k] = u;
        error_greedy[k] = capped_error(out_greedy, x);
        error_other[k] = capped_error(out_other, x);
        overflow_greedy[k] = overflows(out_greedy);
        overflow_other[k] = overflows(out_other);
        class_greedy[k] = step_class(next_step_of(step, g));
        class_other[k] = step_class(next_step_of(step, o));
        c.slope[k] = slope;
        c.output_leaked[k] = output_leaked;
        c.estimate_leaked[k] = wrap_sub(p.estimate[k], round_div8(p.estimate[k]));
    }
    // Then the keys, dropping the other code where it is the greedy one again.
    std::size_t n = 0;
    std::uint64_t both_overflow = 0;  // bit k: path k's two candidates overflow
    for (std::size_t k = 0; k < paths; ++k) {
        c.keys[n++] = key_of(p.cost[k], error_greedy[k], overflow_greedy[k], 2 * k);
        c.keys[n] = key_of(p.cost[k], error_other[k], overflow_other[k], 2 * k + 1);
        n += static_cast<std::size_t>(usable[k]);  // written anyway, but then not kept
        c.class_of[2 * k] = static_cast<std::uint8_t>(class_greedy[k]);
        c.class_of[2 * k + 1] = static_cast<std::uint8_t>(class_other[k]);
        c.code[2 * k] = static_cast<std::int8_t>(greedy[k]);
        c.code[2 * k + 1] = static_cast<std::int8_t>(other[k]);
        both_overflow |= std::uint64_t{overflow_greedy[k] & overflow_other[k]} << k;
    }
    std::size_t index = extra_base;
    for (; both_overflow != 0; both_overflow &= both_overflow - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(both_overflow));
        c.extra_parent[(index - extra_base) / 16] = static_cast<std::uint8_t>(k);
        for (std::int32_t code = -8; code <= 7; ++code, ++index, ++n) {
            const std::int32_t output = wrap_add(wrap_add(code * p.step[k], c.slope[k]), c.output_leaked[k]);
            c.keys[n] = key_of(p.cost[k], capped_error(output, x), overflows(output), index);
            c.class_of[index] = static_cast<std::uint8_t>(step_class(next_step_of(p.step[k], code)));
            c.code[index] = static_cast<std::int8_t>(code);
        }
    }
    c.count = n;
}

// Moves the `count` smallest of `keys` (distinct) to its front, in no
// particular order. A quickselect whose partition swaps unconditionally, so
// that no branch depends on how the keys compare.
void move_smallest_to_front(std::span<std::uint64_t> keys, std::size_t count) {
    std::size_t lo = 0;
    std::size_t hi = keys.size();
    while (lo < count && count < hi) {
        std::swap(keys[lo + (hi - lo) / 2], keys[hi - 1]);
        const std::uint64_t pivot = keys[hi - 1];
        std::size_t p = lo;
        for (std::size_t i = lo; i + 1 < hi; ++i) {
            const std::uint64_t key = keys[i];
            keys[i] = keys[p];
            keys[p] = key;
            p += static_cast<std::size_t>(key < pivot);
        }
        std::swap(keys[p], keys[hi - 1]);
        if (p < count)
            lo = p + 1;
        else
            hi = p;
    }
}

// Chooses the survivors among the candidates into `chosen` and returns their
// number, at most `width`. Three quarters of the slots go first to the
// cheapest candidate of each step class, so that paths which adapted the step
// differently (and pay for it only later) stay alive; the rest go to the
// cheapest of the others. The survivors come in no particular order.
std::size_t select_survivors(int width, candidates& c, std::span<std::uint64_t, search_width_max> chosen) {
    const std::span keys = std::span{c.keys}.first(c.count);
    // The cheapest key of each class, in one pass.
    constexpr std::uint64_t unclaimed = ~std::uint64_t{0};  // above every key
    std::array<std::uint64_t, step_class_count> cheapest_of_class;
    std::memset(cheapest_of_class.data(), 0xFF, sizeof cheapest_of_class);  // all unclaimed, without a loop
    std::array<std::uint8_t, step_class_count> touched;
    std::size_t classes = 0;
    for (const std::uint64_t key : keys) {
        const std::uint8_t k = c.class_of[key & index_mask];
        std::uint64_t& cheapest = cheapest_of_class[k];
        touched[classes] = k;
        classes += static_cast<std::size_t>(cheapest == unclaimed);
        cheapest = std::min(cheapest, key);
    }

    const std::size_t kept = std::min(keys.size(), static_cast<std::size_t>(width));
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, classes});
    std::array<std::uint64_t, step_class_count> winners;
    for (std::size_t k = 0; k < classes; ++k) winners[k] = cheapest_of_class[touched[k]];
    move_smallest_to_front(std::span{winners}.first(classes), for_classes);
    std::uint64_t taken_below = 0;  // above every winner taken; 0 when none is (no key is below it)
    for (std::size_t k = 0; k < for_classes; ++k) {
        chosen[k] = winners[k];
        taken_below = std::max(taken_below, winners[k] + 1);
    }

    // The others: every key but the winners just taken (a class's winner
    // below every winner not taken).
    std::size_t others = 0;
    for (const std::uint64_t key : keys) {
        const bool taken = (key == cheapest_of_class[c.class_of[key & index_mask]]) & (key < taken_below);
        keys[others] = key;
        others += static_cast<std::size_t>(!taken);
    }
    const std::size_t fill = kept - for_classes;
    move_smallest_to_front(keys.first(others), fill);
    std::copy_n(keys.begin(), fill, chosen.begin() + static_cast<std::ptrdiff_t>(for_classes));
    return kept;
}

// Survivors that reach the same state have the same future, so only the
// cheapest of them is kept. Found by hashing; a table four times the
// survivors' number keeps probes short.
class distinct_paths {
public:
    explicit distinct_paths(std::size_t count) : size_(std::bit_ceil(4 * count)) {
        std::fill_n(slots_.begin(), size_, std::uint8_t{0});
    }

    // Returns the slot of an earlier path with the same state as path `slot`,
    // or -1 after remembering `slot` as a new state.
    int find_or_add(const search_paths& paths, std::size_t slot) {
        for (std::uint32_t h = hash(paths, slot);; ++h) {
            std::uint8_t& entry = slots_[h & (size_ - 1)];
            if (entry == 0) {
                entry = static_cast<std::uint8_t>(slot + 1);
                return -1;
            }
            if (same_state(paths, entry - 1U, paths, slot)) return entry - 1;
        }
    }

private:
    static std::uint32_t hash(const search_paths& p, std::size_t k) {
        std::uint32_t h = static_cast<std::uint32_t>(p.output[k]) * 0x9E3779B1U;
        h ^= static_cast<std::uint32_t>(p.estimate[k]) * 0x85EBCA77U;
        h ^= static_cast<std::uint32_t>(p.delta[k]) * 0x27D4EB2FU;
        return h ^ (h >> 15);
    }
    std::size_t size_;
    std::array<std::uint8_t, std::size_t{4} * search_width_max> slots_;  // path slot + 1, 0 when free
};

// Advances the search by one sample.
void search_sample(search_encoder& e, std::int16_t x, bool counted) {
    candidates c;
    std::array<std::uint64_t, search_width_max> chosen;
    expand(e, x, c);
    const std::size_t kept = select_survivors(e.width, c, chosen);
    // Costs are kept relative to the cheapest, so that they cannot grow
    // without bound.
    const std::uint64_t base =
        *std::min_element(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(kept)) >> index_bits;
    const search_paths& from = e.paths;
    search_paths next;
    const std::size_t row = (e.first + e.pending) % search_history_samples;
    std::array<search_step, search_width_max>& steps = e.history[row];
    distinct_paths distinct{kept};
    std::size_t count = 0;
    for (std::size_t k = 0; k < kept; ++k) {
        const auto index = static_cast<std::size_t>(chosen[k] & index_mask);
        const std::uint8_t parent = parent_of(c, index);
        const std::int8_t code = c.code[index];
        const std::int32_t step = from.step[parent];
        const std::int32_t delta = wrap_add(code * step, c.slope[parent]);
        next.delta[count] = delta;
        next.delta_prev[count] = from.delta[parent];
        next.estimate[count] = wrap_add(delta, c.estimate_leaked[parent]);
        next.output[count] = wrap_add(delta, c.output_leaked[parent]);
        next.step[count] = next_step(step, code);
        next.cost[count] = (chosen[k] >> index_bits) - base;
        steps[count] = {parent, code};
        const int earlier = distinct.find_or_add(next, count);
        if (earlier < 0) {
            ++count;
        } else if (next.cost[count] < next.cost[static_cast<std::size_t>(earlier)]) {
            next.cost[static_cast<std::size_t>(earlier)] = next.cost[count];
            steps[static_cast<std::size_t>(earlier)] = steps[count];
        }
    }
    e.paths = next;
    e.path_count = static_cast<int>(count);
    e.inputs[row] = x;
    e.counted[row] = counted;
    ++e.pending;
}

}  // namespace

void search_init(search_encoder& e, int width) {
    e.width = std::clamp(width, 1, search_width_max);
    e.path_count = 1;
    encoder_state initial{};
    encoder_init(initial);
    e.paths.delta[0] = initial.delta;
    e.paths.delta_prev[0] = initial.delta_prev;
    e.paths.estimate[0] = initial.estimate;
    e.paths.step[0] = initial.step;
    e.paths.output[0] = initial.output;
    e.paths.cost[0] = 0;
    e.pending = 0;
    e.first = 0;
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
    const int anchor = ancestor(e, best, e.pending - 1, search_commit_samples - 1);
    const std::size_t count = commit(e, best, search_commit_samples, words);
    std::array<search_step, search_width_max>& last = e.history[(e.first + e.pending - 1) % search_history_samples];
    std::size_t kept = 0;
    for (int k = 0; k < e.path_count; ++k) {
        if (ancestor(e, k, e.pending - 1, search_commit_samples - 1) != anchor) continue;
        const auto from = static_cast<std::size_t>(k);
        e.paths.delta[kept] = e.paths.delta[from];
        e.paths.delta_prev[kept] = e.paths.delta_prev[from];
        e.paths.estimate[kept] = e.paths.estimate[from];
        e.paths.step[kept] = e.paths.step[from];
        e.paths.output[kept] = e.paths.output[from];
        e.paths.cost[kept] = e.paths.cost[from];
        last[kept] = last[from];
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
    const search_paths& p = e.paths;
    return {{p.delta[k], p.delta_prev[k], p.estimate[k], p.step[k], p.output[k], 0}, p.cost[k]};
}

std::size_t search_pending_codes(const search_encoder& e, int slot, std::span<int, search_history_samples> codes) {
    if (e.pending > 0) codes_along(e, slot, e.pending, codes);
    return e.pending;
}

}  // namespace nbz
