#pragma once
// The search encoder's record and the table of kernels (not installed): what
// the core (core.cpp) and the kernels (reference.cpp, plain.cpp, avx2.cpp,
// avx512*.cpp)
// share. Tests include it to look at the paths.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "search/terms.h"

namespace nbz::search {

// What the selection of the kernels in lanes (lanes.h) needs of every
// candidate, at its position: one array per quantity, so that the loops that
// fill and read them run in vector registers. The rest of a state is worked
// out for the survivors only.
struct candidate_terms {
    alignas(64) std::array<std::int32_t, index_count> code;
    alignas(64) std::array<std::int32_t, index_count> output;
    alignas(64) std::array<std::int32_t, index_count> step;
    // A path with one candidate has no_candidate - k in place of its other,
    // with the class of its greedy code.
    alignas(64) std::array<std::uint64_t, index_count> key;
    alignas(64) std::array<std::uint32_t, index_count> class_at;
    // Of the first two candidates of each path only.
    alignas(64) std::array<std::uint32_t, extra_base> overflow;  // 1 when the output leaves -32767..32767
    alignas(64) std::array<std::int32_t, paths_max> usable;      // 1 when the other code is not the greedy one again
    // The parts of each path's next state that do not depend on the code.
    alignas(64) std::array<std::int32_t, paths_max> slope;
    alignas(64) std::array<std::int32_t, paths_max> output_leaked;
    alignas(64) std::array<std::int32_t, paths_max> estimate_leaked;
    alignas(64) std::array<std::uint8_t, paths_max> extra_parent;  // the path of the m-th sixteen codes
};

// One candidate as the reference kernel weighs it.
struct candidate {
    std::uint64_t key;
    std::uint32_t step_class;
    std::uint8_t parent;
    std::int8_t code;
};

// Memory that one sample uses and the next overwrites, kept in the encoder
// so that a sample's stack stays small.
struct scratch {
    candidate_terms terms;
    alignas(64) std::array<std::uint64_t, index_count> keys;         // the general selection's keys
    alignas(64) std::array<std::uint64_t, candidate_max + 8> spill;  // a partition's keys above its pivot
    // The cheapest key of each step class: all unclaimed between samples,
    // so that no sample has to clear it all.
    std::array<std::uint64_t, step_class_count> class_cheapest;
    std::array<candidate, index_count> candidates;  // the reference's, at their positions
};

struct kernel;

}  // namespace nbz::search

namespace nbz {

// The search's whole state. The history, inputs and counted flags are rings:
// pending sample p lives in row (first + p) % history_samples.
struct search_encoder {
    int width;                               // paths kept per sample, 1..search_width_max
    int path_count;                          // paths alive now
    const search::kernel* kernel;            // one that this processor runs
    std::array<search::paths, 2> path_sets;  // the paths alive now, and room for the next sample's
    int current;                             // which of path_sets is alive now
    std::size_t pending;                     // samples searched but not yet committed
    std::size_t first;                       // the row of the oldest pending sample
    std::array<search::history_row, search::history_samples> history;
    encoder_state committed;  // the state after every committed code
    // Where the AVX-512 selection starts looking for its bound: changes only
    // how fast it finds it.
    std::uint64_t selection_hint;
    search::scratch scratch;
};

}  // namespace nbz

namespace nbz::search {

// A kernel: one way of running a sample's arithmetic across paths. Every
// kernel gives the reference kernel's streams.
struct kernel {
    search_kernel id;
    const char* name;
    // Whether this processor has every instruction set the kernel uses.
    bool (*runs)();
    // Extends the paths alive by one sample x: the survivors, in the order
    // of their candidates' positions, into slots 0.. of `next`, their
    // history steps into `steps` and their state hashes into `hashes`.
    // Returns their number. Survivors that reach the same state are still
    // there (merge_same_states removes them).
    std::size_t (*extend)(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes);
    // Whether any two of the first `count` hashes may be equal (never false
    // when two are).
    bool (*may_repeat)(const state_hashes& hashes, std::size_t count);
};

extern const kernel reference_kernel;
extern const kernel plain_kernel;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NBZ_SEARCH_X86 1
extern const kernel avx2_kernel;
extern const kernel avx512_kernel;
#endif

// The paths alive now.
inline const paths& alive(const search_encoder& e) { return e.path_sets[static_cast<std::size_t>(e.current)]; }

// Whether two paths lead to the same future: every field but the peak, which
// never affects later codes or reconstructions.
inline bool same_state(const paths& p, std::size_t i, std::size_t j) {
    return p.output[i] == p.output[j] && p.estimate[i] == p.estimate[j] && p.step[i] == p.step[j] &&
           p.delta[i] == p.delta[j] && p.delta_prev[i] == p.delta_prev[j];
}

// The path in `slot` (0..path_count-1) and its cost relative to the cheapest.
struct path_record {
    encoder_state state;  // its peak is not tracked per path and reads 0
    std::uint64_t cost;
};
path_record path_at(const search_encoder& e, int slot);

// The codes of the pending samples along the path in `slot`, oldest first,
// into `codes`; returns their number (e.pending). Replaying them from
// e.committed gives the path's state.
std::size_t pending_codes(const search_encoder& e, int slot, std::span<int, history_samples> codes);

}  // namespace nbz::search
