#include "nbz/search_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "nbz/quantiser.h"
#include "nbz/state_update.h"

namespace nbz {
namespace {

constexpr std::uint64_t overflow_cost = std::uint64_t{1} << 42;  // above any history's plain error
constexpr std::uint64_t error_cap = std::uint64_t{1} << 32;      // above any in-range sample's error
constexpr std::uint64_t cost_limit = std::uint64_t{1} << 53;     // orders candidates exactly below it
// Surviving paths agree up to the last commit, so they differ over at most
// the history: one overflowing sample must outweigh that much plain error.
static_assert(overflow_cost > search_history_samples * error_cap);

struct candidate {
    encoder_state state;
    std::uint64_t cost;
    std::uint8_t parent;
    std::int8_t code;
};

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

// The distinct states among one sample's candidates, hashed so that a
// duplicate is found without comparing against every other candidate.
class distinct_states {
public:
    // For up to `count` candidates: only the part of the table in use is cleared.
    explicit distinct_states(std::size_t count) : size_(std::bit_ceil(2 * count)) {
        std::fill_n(slots_.begin(), size_, std::uint16_t{0});
    }

    // Returns the index of an earlier candidate with the same state as
    // candidate `index`, or -1 after remembering `index` as a new state.
    int find_or_add(std::span<const candidate> candidates, int index) {
        const encoder_state& state = candidates[static_cast<std::size_t>(index)].state;
        for (std::uint32_t h = hash(state);; ++h) {
            std::uint16_t& slot = slots_[h & (size_ - 1)];
            if (slot == 0) {
                slot = static_cast<std::uint16_t>(index + 1);
                return -1;
            }
            if (same_state(candidates[slot - 1U].state, state)) return slot - 1;
        }
    }

private:
    static std::uint32_t hash(const encoder_state& s) {
        std::uint32_t h = static_cast<std::uint32_t>(s.output) * 0x9E3779B1U;
        h ^= static_cast<std::uint32_t>(s.estimate) * 0x85EBCA77U;
        h ^= static_cast<std::uint32_t>(s.step) * 0xC2B2AE3DU;
        h ^= static_cast<std::uint32_t>(s.delta) * 0x27D4EB2FU;
        return h ^ (h >> 15);
    }
    std::size_t size_;
    std::array<std::uint16_t, std::size_t{2} * search_width_max * 16> slots_;  // candidate index + 1, 0 when free
};

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

// Expands every path by its candidate codes for sample x: the greedy code and
// the next one toward the residual, whose levels bracket the residual (a
// code further out only moves the reconstruction further from it). When both
// overflow, every code is tried, so that one staying in range is found.
std::size_t expand(const search_encoder& e, std::int16_t x, std::span<candidate> out) {
    std::size_t n = 0;
    for (int k = 0; k < e.path_count; ++k) {
        const search_path& path = e.paths[static_cast<std::size_t>(k)];
        const std::int32_t residual = wrap_sub(x, prediction(path.state));
        const int greedy = quantise(residual, path.state.step);
        const std::size_t first = n;
        bool all_overflow = true;
        const auto add = [&](int code) {
            candidate& c = out[n++];
            c.state = path.state;
            advance(c.state, code);
            c.cost = std::min(path.cost + sample_cost(c.state.output, x), cost_limit);
            c.parent = static_cast<std::uint8_t>(k);
            c.code = static_cast<std::int8_t>(code);
            all_overflow = all_overflow && overflows(c.state.output);
        };
        add(greedy);
        const int toward = greedy + (residual < 0 ? -1 : 1);
        if (toward >= -8 && toward <= 7) add(toward);
        if (all_overflow) {
            n = first;
            for (int code = -8; code <= 7; ++code) add(code);
        }
    }
    return n;
}

constexpr std::size_t candidate_max = std::size_t{search_width_max} * 16;

// Candidates are ranked by keys that hold the cost above the candidate's index.
constexpr int index_bits = 10;
constexpr std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
static_assert(candidate_max <= (std::size_t{1} << index_bits));

// Of candidates that reach the same state only the cheapest can matter: keeps
// the cheapest of each state, stores the keys of those in `keys` and returns
// their number.
std::size_t distinct_keys(std::span<candidate> candidates, std::span<std::uint64_t> keys) {
    distinct_states distinct{candidates.size()};
    std::size_t m = 0;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        const int earlier = distinct.find_or_add(candidates, static_cast<int>(c));
        if (earlier < 0) {
            keys[m++] = c;
        } else if (candidates[c].cost < candidates[static_cast<std::size_t>(earlier)].cost) {
            candidates[static_cast<std::size_t>(earlier)] = candidates[c];
        }
    }
    for (std::size_t k = 0; k < m; ++k) keys[k] |= candidates[keys[k]].cost << index_bits;
    return m;
}

// Steps in classes about a third of an octave wide: the octave (the step's
// bit width) and which third of it the step's next four bits fall in
// (boundaries at 1 5/16 and 1 10/16, near 2^(1/3) and 2^(2/3)). Steps a few
// percent apart behave alike, so telling them apart would spend the slots
// kept for diversity on near copies.
int step_class(std::int32_t step) {
    const auto s = static_cast<std::uint32_t>(std::max(step, 1));
    const int octave = static_cast<int>(std::bit_width(s));
    const std::uint32_t top = octave >= 5 ? s >> (octave - 5) : s << (5 - octave);  // 16..31
    const std::uint32_t fraction = top & 15U;
    return 3 * octave + static_cast<int>(fraction >= 5) + static_cast<int>(fraction >= 10);
}

constexpr int step_class_count = 3 * 33;  // step_class of any 32-bit step is below this

// Chooses the survivors among `keys` into `chosen` and returns their number,
// at most `width`. Three quarters of the slots go first to the cheapest
// candidate of each step class, so that paths which adapted the step
// differently (and pay for it only later) stay alive; the rest go to the
// cheapest of the others. Both groups are in order of cost, so the cheapest
// survivor comes first.
std::size_t select_survivors(int width, std::span<const candidate> candidates, std::span<std::uint64_t> keys,
                             std::span<std::uint64_t, search_width_max> chosen) {
    // The cheapest key of each class, in one pass: keys are unique, and a
    // smaller key is a cheaper candidate.
    constexpr std::uint64_t unclaimed = ~std::uint64_t{0};  // above every key
    std::array<std::uint64_t, step_class_count> cheapest_of_class;
    cheapest_of_class.fill(unclaimed);
    std::array<std::uint8_t, candidate_max> class_of;
    std::array<std::uint8_t, step_class_count> touched;
    std::size_t classes = 0;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const auto c = static_cast<std::uint8_t>(step_class(candidates[keys[k] & index_mask].state.step));
        class_of[k] = c;
        std::uint64_t& cheapest = cheapest_of_class[c];
        if (cheapest == unclaimed) touched[classes++] = c;
        cheapest = std::min(cheapest, keys[k]);
    }

    const std::size_t kept = std::min(keys.size(), static_cast<std::size_t>(width));
    std::array<std::uint64_t, step_class_count> winners;
    for (std::size_t c = 0; c < classes; ++c) winners[c] = cheapest_of_class[touched[c]];
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, classes});
    std::sort(winners.begin(), winners.begin() + static_cast<std::ptrdiff_t>(classes));
    std::copy_n(winners.begin(), for_classes, chosen.begin());

    // The others: every key but the winners just taken (a class's winner no
    // dearer than the last winner taken), cheapest first.
    std::size_t others = 0;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const bool taken =
            for_classes > 0 && keys[k] == cheapest_of_class[class_of[k]] && keys[k] <= winners[for_classes - 1];
        if (!taken) keys[others++] = keys[k];
    }
    const std::size_t fill = kept - for_classes;
    const auto first = keys.begin();
    std::nth_element(first, first + static_cast<std::ptrdiff_t>(fill), first + static_cast<std::ptrdiff_t>(others));
    std::sort(first, first + static_cast<std::ptrdiff_t>(fill));
    std::copy_n(keys.begin(), fill, chosen.begin() + static_cast<std::ptrdiff_t>(for_classes));
    return kept;
}

// Advances the search by one sample.
void search_sample(search_encoder& e, std::int16_t x, bool counted) {
    std::array<candidate, candidate_max> candidates;
    std::array<std::uint64_t, candidate_max> keys;
    std::array<std::uint64_t, search_width_max> chosen;
    const std::size_t n = expand(e, x, candidates);
    const std::size_t m = distinct_keys(std::span{candidates}.first(n), keys);
    const std::size_t kept = select_survivors(e.width, candidates, std::span{keys}.first(m), chosen);
    // Costs are kept relative to the cheapest, chosen first, so that they
    // cannot grow without bound.
    const std::uint64_t base = chosen[0] >> index_bits;
    for (std::size_t k = 0; k < kept; ++k) {
        const candidate& c = candidates[chosen[k] & index_mask];
        e.paths[k] = {c.state, c.cost - base};
        e.history[e.pending][k] = {c.parent, c.code};
    }
    e.path_count = static_cast<int>(kept);
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
