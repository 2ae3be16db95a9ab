// The search's core: the paths' life from sample to sample. A kernel extends
// the paths by one sample; here survivors that reach the same state are
// merged, the history is kept, and the oldest samples are committed along
// the cheapest path.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

#include "nbz/search_encoder.h"
#include "nbz/state_update.h"
#include "search/encoder.h"

namespace nbz {
namespace search {
namespace {

// The kernels this build has, widest last.
#ifdef NBZ_SEARCH_X86
constexpr std::array<const kernel*, 4> kernels = {&reference_kernel, &plain_kernel, &avx2_kernel, &avx512_kernel};
#else
constexpr std::array<const kernel*, 2> kernels = {&reference_kernel, &plain_kernel};
#endif

paths& alive_paths(search_encoder& e) { return e.path_sets[static_cast<std::size_t>(e.current)]; }

// The history row of pending sample p.
const history_row& row_of(const search_encoder& e, std::size_t p) { return e.history[(e.first + p) % history_samples]; }

int cheapest(const search_encoder& e) {
    const paths& p = alive(e);
    int best = 0;
    for (int k = 1; k < e.path_count; ++k)
        if (p.cost[static_cast<std::size_t>(k)] < p.cost[static_cast<std::size_t>(best)]) best = k;
    return best;
}

// The codes of the first `count` (1..) pending samples along the path in
// `slot` at pending sample `at` (count - 1 or later).
void codes_along(const search_encoder& e, std::size_t slot, std::size_t at, std::size_t count,
                 std::span<int, history_samples> codes) {
    std::size_t j = slot;
    for (std::size_t p = at; p >= count; --p) j = row_of(e, p)[j].parent;
    for (std::size_t p = count; p-- > 0;) {
        const history_step& s = row_of(e, p)[j];
        codes[p] = s.code;  // NOLINT(bugprone-signed-char-misuse): -8..7
        j = s.parent;
    }
}

// Commits the first `count` pending samples along the path that is in
// `slot` at pending sample count - 1: packs their codes into `words` and
// replays them into the committed state. Returns the number of words.
std::size_t commit(search_encoder& e, std::size_t slot, std::size_t count,
                   std::span<std::uint32_t, search_max_words> words) {
    std::array<int, history_samples> codes{};
    codes_along(e, slot, count - 1, count, codes);
    for (std::size_t p = 0; p < count; ++p) {
        if (p % 8 == 0) words[p / 8] = 0;
        words[p / 8] |= code_bits(codes[p], static_cast<int>(p % 8));
        advance(e.committed, codes[p]);
    }
    return count / 8;
}

// Finds survivors with the same state. A table four times the survivors'
// number keeps probes short, and the full hashes settle most probes without
// comparing states.
class distinct_states {
public:
    explicit distinct_states(std::size_t count) : size_(std::bit_ceil(4 * count)) { slots_.fill(0); }

    // Returns the slot of an earlier path with the same state as path
    // `slot`, whose hash is hashes[slot], or -1 after remembering `slot` as a
    // new state.
    int find_or_add(const paths& p, const state_hashes& hashes, std::size_t slot) {
        for (std::uint32_t probe = hashes[slot];; ++probe) {
            std::uint8_t& entry = slots_[probe & (size_ - 1)];
            if (entry == 0) {
                entry = static_cast<std::uint8_t>(slot + 1);
                return -1;
            }
            const std::size_t other = entry - 1U;
            if (hashes[other] == hashes[slot] && same_state(p, other, slot)) return static_cast<int>(other);
        }
    }

private:
    std::size_t size_;
    std::array<std::uint8_t, 4 * paths_max> slots_;  // path slot + 1, 0 when free
};

// Moves the path in slot `from`, with its last history step, to slot `to`
// (at most `from`), closing up the slots.
void move_path(paths& p, history_row& steps, std::size_t from, std::size_t to) {
    p.delta[to] = p.delta[from];
    p.delta_prev[to] = p.delta_prev[from];
    p.estimate[to] = p.estimate[from];
    p.step[to] = p.step[from];
    p.output[to] = p.output[from];
    p.cost[to] = p.cost[from];
    p.origin[to] = p.origin[from];
    steps[to] = steps[from];
}

// Survivors that reach the same state have the same future, so only the
// cheapest of them is kept, in the slot of the first. Returns the number
// left. A repeat is rare, so the slots are closed up only when one happens.
std::size_t merge_same_states(const kernel& k, paths& next, history_row& steps, const state_hashes& hashes,
                              std::size_t kept) {
    if (!k.may_repeat(hashes, kept)) return kept;
    std::array<bool, paths_max> merged{};
    bool any_merged = false;
    distinct_states distinct{kept};
    for (std::size_t i = 0; i < kept; ++i) {
        const int earlier = distinct.find_or_add(next, hashes, i);
        if (earlier < 0) continue;
        any_merged = true;
        merged[i] = true;
        const auto j = static_cast<std::size_t>(earlier);
        if (next.cost[i] < next.cost[j]) {
            next.cost[j] = next.cost[i];
            next.origin[j] = next.origin[i];
            steps[j] = steps[i];
        }
    }
    if (!any_merged) return kept;
    std::size_t count = 0;
    for (std::size_t i = 0; i < kept; ++i) {
        if (merged[i]) continue;
        move_path(next, steps, i, count);
        ++count;
    }
    return count;
}

// Advances the search by one sample.
void search_sample(search_encoder& e, std::int16_t x) {
    paths& next = e.path_sets[static_cast<std::size_t>(1 - e.current)];
    history_row& steps = e.history[(e.first + e.pending) % history_samples];
    state_hashes hashes;
    const std::size_t kept = e.kernel->extend(e, x, next, steps, hashes);
    const std::size_t count = merge_same_states(*e.kernel, next, steps, hashes, kept);
    e.current = 1 - e.current;
    e.path_count = static_cast<int>(count);
    ++e.pending;
    // Here the next commit will end: each path is its own origin.
    if (e.pending == commit_samples)
        for (std::size_t k = 0; k < count; ++k) next.origin[k] = static_cast<std::uint8_t>(k);
}

}  // namespace

path_record path_at(const search_encoder& e, int slot) {
    const auto k = static_cast<std::size_t>(slot);
    return {state_at(alive(e), k), alive(e).cost[k]};
}

std::size_t pending_codes(const search_encoder& e, int slot, std::span<int, history_samples> codes) {
    if (e.pending > 0) codes_along(e, static_cast<std::size_t>(slot), e.pending - 1, e.pending, codes);
    return e.pending;
}

}  // namespace search

search_kernel search_widest_kernel() {
    search_kernel widest = search_kernel::plain;  // runs everywhere
    for (const search::kernel* k : search::kernels)
        if (k->id > widest && k->runs()) widest = k->id;
    return widest;
}

const char* search_kernel_name(search_kernel kernel) {
    switch (kernel) {
        case search_kernel::reference:
            return "reference";
        case search_kernel::plain:
            return "plain";
        case search_kernel::avx2:
            return "AVX2";
        case search_kernel::avx512:
            return "AVX-512";
    }
    return "unknown";
}

void search_encoder_deleter::operator()(search_encoder* encoder) const noexcept { delete encoder; }

search_encoder_ptr search_create(int width, search_kernel kernel) {
    search_encoder_ptr encoder{new search_encoder};
    search_init(*encoder, width, kernel);
    return encoder;
}

void search_init(search_encoder& e, int width, search_kernel kernel) {
    using namespace search;
    e.width = std::clamp(width, 1, width_max);
    e.kernel = &plain_kernel;
    for (const search::kernel* k : kernels)
        if (k->id <= kernel && k->runs()) e.kernel = k;
    e.current = 0;
    e.path_count = 1;
    e.path_sets = {};  // the slots beyond the paths alive hold states too
    encoder_state initial{};
    encoder_init(initial);
    paths& p = alive_paths(e);
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
    e.scratch.class_cheapest.fill(unclaimed);
    encoder_init(e.committed);
}

std::size_t search_encode_block(search_encoder& e, std::span<const std::int16_t, 8> samples,
                                std::span<std::uint32_t, search_max_words> words) {
    using namespace search;
    for (const std::int16_t x : samples) search_sample(e, x);
    if (e.pending < history_samples) return 0;

    // Commit the older half along the cheapest path and drop the paths that
    // disagree with it there. The history is a ring: the committed rows are
    // simply reused.
    const int best = cheapest(e);
    paths& p = alive_paths(e);
    const std::uint8_t anchor = p.origin[static_cast<std::size_t>(best)];
    const std::size_t count = commit(e, anchor, commit_samples, words);
    history_row& last = e.history[(e.first + e.pending - 1) % history_samples];
    std::size_t kept = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(e.path_count); ++k) {
        if (p.origin[k] != anchor) continue;
        move_path(p, last, k, kept);
        p.origin[kept] = static_cast<std::uint8_t>(kept);  // the commit after this one ends here
        ++kept;
    }
    e.path_count = static_cast<int>(kept);
    e.first = (e.first + commit_samples) % history_samples;
    e.pending -= commit_samples;
    return count;
}

std::size_t search_words_due(const search_encoder& e, std::size_t blocks) {
    using namespace search;
    // The pending samples grow by a block at a time, and reach the full
    // history after `first` more blocks, then after every commit's worth.
    const std::size_t first = (history_samples - e.pending) / 8;
    if (blocks < first) return 0;
    const std::size_t commit_blocks = commit_samples / 8;
    return (1 + (blocks - first) / commit_blocks) * commit_blocks;
}

std::size_t search_finish(search_encoder& e, std::span<std::uint32_t, search_max_words> words) {
    using namespace search;
    if (e.pending == 0) return 0;
    const std::size_t count = commit(e, static_cast<std::size_t>(cheapest(e)), e.pending, words);
    e.first = (e.first + e.pending) % history_samples;
    e.pending = 0;
    return count;
}

}  // namespace nbz
