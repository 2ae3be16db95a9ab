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

bool overflows(std::int32_t output) { return magnitude(output) > 32767U; }

std::uint64_t sample_cost(std::int32_t output, std::int16_t x) {
    const std::int64_t diff = std::int64_t{output} - x;
    const auto error = static_cast<std::uint64_t>(diff * diff);
    return overflows(output) ? overflow_cost + std::min(error, error_cap) : error;
}

// Whether two states lead to the same future: every field but the peak, which
// never affects later codes or reconstructions.
bool same_state(const encoder_state& a, const encoder_state& b) {
    return a.output == b.output && a.estimate == b.estimate && a.step == b.step && a.delta == b.delta &&
           a.delta_prev == b.delta_prev;
}

// Steps in classes about a third of an octave wide: the octave (the step's
// bit width) and which third of it the step's next four bits fall in
// (boundaries at 1 5/16 and 1 10/16, near 2^(1/3) and 2^(2/3)). Steps a few
// percent apart behave alike, so telling them apart would spend the slots
// kept for diversity on near copies.
int step_class(std::int32_t step) {
    const auto s = static_cast<std::uint32_t>(std::max(step, 1));
    const int octave = static_cast<int>(std::bit_width(s));
    const std::uint32_t fraction = ((s << (32 - octave)) >> 27) & 15U;  // the four bits below the leading one
    return 3 * octave + static_cast<int>(fraction >= 5) + static_cast<int>(fraction >= 10);
}

constexpr int step_class_count = 3 * 33;  // step_class of any 32-bit step is below this

// The slot at position `to` that the path in `slot` at position `from`
// descends from.
int ancestor(const search_encoder& e, int slot, std::size_t from, std::size_t to) {
    for (std::size_t p = from; p > to; --p) slot = e.history[p][static_cast<std::size_t>(slot)].parent;
    return slot;
}

int cheapest(const search_encoder& e) {
    int best = 0;
    for (int k = 1; k < e.path_count; ++k)
        if (e.paths[static_cast<std::size_t>(k)].cost < e.paths[static_cast<std::size_t>(best)].cost) best = k;
    return best;
}

// Commits the first `count` pending samples along the path in `slot`: packs
// their codes into `words`, replays them into the committed state and adds up
// the error totals. Returns the number of words.
std::size_t commit(search_encoder& e, int slot, std::size_t count, std::span<std::uint32_t, search_max_words> words) {
    std::array<int, search_history_samples> codes{};
    int j = ancestor(e, slot, e.pending - 1, count - 1);
    for (std::size_t p = count; p-- > 0;) {
        codes[p] = e.history[p][static_cast<std::size_t>(j)].code;  // NOLINT(bugprone-signed-char-misuse): -8..7
        j = e.history[p][static_cast<std::size_t>(j)].parent;
    }
    for (std::size_t p = 0; p < count; ++p) {
        if (p % 8 == 0) words[p / 8] = 0;
        words[p / 8] |= code_bits(codes[p], static_cast<int>(p % 8));
        advance(e.committed, codes[p]);
        if (e.counted[p]) {
            const double x = e.inputs[p];
            const double y = std::clamp(e.committed.output, -32768, 32767);
            e.signal_energy += x * x;
            e.noise_energy += (y - x) * (y - x);
        }
    }
    return count / 8;
}

// One sample's candidates: a path extended by one code. Only the survivors'
// states are computed, from their parent's.
struct candidates {
    std::size_t count;
    std::array<std::uint64_t, candidate_max> keys;     // in index order until selection reorders them
    std::array<std::uint8_t, candidate_max> class_of;  // step class of the candidate with each index
    std::array<std::uint8_t, candidate_max> parent;
    std::array<std::int8_t, candidate_max> code;
};

// Expands every path by its candidate codes for sample x: the greedy code and
// the next one toward the residual, whose levels bracket the residual (a
// code further out only moves the reconstruction further from it). A path
// whose two candidates both overflow is expanded again by every code, after
// the others, so that one staying in range is found.
void expand(const search_encoder& e, std::int16_t x, candidates& out) {
    std::size_t n = 0;
    const auto add = [&](const encoder_state& state, const advance_basis& basis, std::uint64_t cost, int k, int code) {
        const std::int32_t output = output_for(state, basis, code);
        const std::uint64_t total = std::min(cost + sample_cost(output, x), cost_limit);
        out.keys[n] = total << index_bits | n;
        out.class_of[n] = static_cast<std::uint8_t>(step_class(next_step(state.step, code)));
        out.parent[n] = static_cast<std::uint8_t>(k);
        out.code[n] = static_cast<std::int8_t>(code);
        return overflows(output);
    };
    std::uint64_t all_overflow = 0;  // bit k: path k's two candidates overflow
    for (int k = 0; k < e.path_count; ++k) {
        const search_path& path = e.paths[static_cast<std::size_t>(k)];
        const advance_basis basis = basis_of(path.state);
        const std::int32_t residual = wrap_sub(x, prediction(path.state));
        const int greedy = quantise(residual, path.state.step);
        const int toward = greedy + (residual < 0 ? -1 : 1);
        const bool toward_usable = toward >= -8 && toward <= 7;
        bool overflow = add(path.state, basis, path.cost, k, greedy);
        ++n;
        // Written even when unusable (as the greedy code again), but then not kept.
        overflow = add(path.state, basis, path.cost, k, toward_usable ? toward : greedy) && overflow;
        n += static_cast<std::size_t>(toward_usable);
        all_overflow |= std::uint64_t{overflow} << k;
    }
    for (; all_overflow != 0; all_overflow &= all_overflow - 1) {
        const int k = std::countr_zero(all_overflow);
        const search_path& path = e.paths[static_cast<std::size_t>(k)];
        const advance_basis basis = basis_of(path.state);
        for (int code = -8; code <= 7; ++code, ++n) add(path.state, basis, path.cost, k, code);
    }
    out.count = n;
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
    int find_or_add(std::span<const search_path> paths, int slot) {
        const encoder_state& state = paths[static_cast<std::size_t>(slot)].state;
        for (std::uint32_t h = hash(state);; ++h) {
            std::uint8_t& entry = slots_[h & (size_ - 1)];
            if (entry == 0) {
                entry = static_cast<std::uint8_t>(slot + 1);
                return -1;
            }
            if (same_state(paths[entry - 1U].state, state)) return entry - 1;
        }
    }

private:
    static std::uint32_t hash(const encoder_state& s) {
        std::uint32_t h = static_cast<std::uint32_t>(s.output) * 0x9E3779B1U;
        h ^= static_cast<std::uint32_t>(s.estimate) * 0x85EBCA77U;
        h ^= static_cast<std::uint32_t>(s.delta) * 0x27D4EB2FU;
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
    std::array<search_path, search_width_max> next;
    std::array<search_step, search_width_max>& steps = e.history[e.pending];
    distinct_paths distinct{kept};
    int count = 0;
    for (std::size_t k = 0; k < kept; ++k) {
        const auto index = static_cast<std::size_t>(chosen[k] & index_mask);
        const std::uint8_t parent = c.parent[index];
        const std::int8_t code = c.code[index];
        search_path& path = next[static_cast<std::size_t>(count)];
        path.state = e.paths[parent].state;
        advance(path.state, code);
        path.cost = (chosen[k] >> index_bits) - base;
        steps[static_cast<std::size_t>(count)] = {parent, code};
        const int earlier = distinct.find_or_add(std::span{next}.first(static_cast<std::size_t>(count) + 1), count);
        if (earlier < 0) {
            ++count;
        } else if (path.cost < next[static_cast<std::size_t>(earlier)].cost) {
            next[static_cast<std::size_t>(earlier)].cost = path.cost;
            steps[static_cast<std::size_t>(earlier)] = steps[static_cast<std::size_t>(count)];
        }
    }
    std::copy_n(next.begin(), count, e.paths.begin());
    e.path_count = count;
    e.inputs[e.pending] = x;
    e.counted[e.pending] = counted;
    ++e.pending;
}

}  // namespace

void search_init(search_encoder& e, int width) {
    e.width = std::clamp(width, 1, search_width_max);
    e.path_count = 1;
    encoder_init(e.paths[0].state);
    e.paths[0].cost = 0;
    e.pending = 0;
    encoder_init(e.committed);
    e.signal_energy = 0;
    e.noise_energy = 0;
}

std::size_t search_encode_block(search_encoder& e, std::span<const std::int16_t, 8> samples,
                                std::span<std::uint32_t, search_max_words> words, int counted) {
    for (std::size_t i = 0; i < 8; ++i) search_sample(e, samples[i], static_cast<int>(i) < counted);
    if (e.pending < search_history_samples) return 0;

    // Commit the older half along the cheapest path; drop the paths that
    // disagree with it there, and slide the history.
    constexpr std::size_t keep = search_history_samples - search_commit_samples;
    const int best = cheapest(e);
    const int anchor = ancestor(e, best, e.pending - 1, search_commit_samples - 1);
    const std::size_t count = commit(e, best, search_commit_samples, words);
    int kept = 0;
    for (int k = 0; k < e.path_count; ++k) {
        if (ancestor(e, k, e.pending - 1, search_commit_samples - 1) != anchor) continue;
        e.paths[static_cast<std::size_t>(kept)] = e.paths[static_cast<std::size_t>(k)];
        e.history[e.pending - 1][static_cast<std::size_t>(kept)] =
            e.history[e.pending - 1][static_cast<std::size_t>(k)];
        ++kept;
    }
    e.path_count = kept;
    std::copy(e.history.begin() + search_commit_samples, e.history.end(), e.history.begin());
    std::copy(e.inputs.begin() + search_commit_samples, e.inputs.end(), e.inputs.begin());
    std::copy(e.counted.begin() + search_commit_samples, e.counted.end(), e.counted.begin());
    e.pending = keep;
    return count;
}

std::size_t search_finish(search_encoder& e, std::span<std::uint32_t, search_max_words> words) {
    if (e.pending == 0) return 0;
    const std::size_t count = commit(e, cheapest(e), e.pending, words);
    e.pending = 0;
    return count;
}

}  // namespace nbz
