#pragma once
// What every kernel of the search shares: the paths, the keys that rank
// candidates, the step classes, and the hash of a state.
//
// Everything here is compiled for any processor of the target: a kernel file
// includes this before it opens its target region, so that the one copy the
// linker keeps of each inline function runs everywhere.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "nbz/bit_cast.h"
#include "nbz/nbz.h"
#include "nbz/search_encoder.h"
#include "nbz/state_update.h"

namespace nbz::search {

constexpr int width_max = search_width_max;
constexpr std::size_t paths_max = search_width_max;
constexpr std::size_t commit_samples = search_commit_samples;
constexpr std::size_t history_samples = search_history_samples;

constexpr std::uint64_t overflow_cost = std::uint64_t{1} << 42;  // above any history's plain error
constexpr std::uint64_t error_cap = std::uint64_t{1} << 32;      // above any in-range sample's error
constexpr std::uint64_t cost_limit = std::uint64_t{1} << 52;     // orders candidates exactly below it
// Surviving paths agree up to the last commit, so they differ over at most
// the history: one overflowing sample must outweigh that much plain error.
static_assert(overflow_cost > history_samples * error_cap);

// Candidate positions: path k's greedy code at k, its other code at
// other_base + k, and the sixteen codes of the m-th path whose two overflow
// from extra_base + 16m. A key's index is its candidate's position, so
// equal costs go to the earlier position: greedy codes first, and among them
// earlier paths, which came from cheaper candidates (on silence, where many
// paths cost the same, that order matters).
constexpr std::size_t other_base = paths_max;
constexpr std::size_t extra_base = 2 * paths_max;
constexpr std::size_t index_count = extra_base + 16 * paths_max;
// At most two candidates per path, and sixteen more for a path whose two overflow.
constexpr std::size_t candidate_max = 18 * paths_max;

// Candidates are ranked by keys that hold the cost above the candidate's
// position, so that keys are distinct and a smaller key is a cheaper
// candidate.
constexpr int index_bits = 11;
constexpr std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
static_assert(index_count <= (std::size_t{1} << index_bits));
static_assert((cost_limit << index_bits) >> index_bits == cost_limit);

// Key values that no candidate has. The vector kernels read whole vectors
// of keys, so they mark what is not a candidate by keys above every real
// one:
//   unclaimed            a lane past the paths alive; a class winner already
//                        taken (AVX-512); a class's entry before any key
//   unclaimed - k        the k-th class winner taken (general selection)
//   unclaimed - 1        a class that no candidate has (AVX-512 winners)
//   no_candidate - k     path k's missing other candidate, never chosen
constexpr std::uint64_t unclaimed = ~std::uint64_t{0};
constexpr std::size_t step_class_count = std::size_t{3} * 33;  // step_class of any 32-bit step is below this
constexpr std::uint64_t no_candidate = unclaimed - 2 * step_class_count;
static_assert(((cost_limit << index_bits) | index_mask) < no_candidate - paths_max);
constexpr std::uint32_t no_class = ~std::uint32_t{0};  // no step_class is this

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

// 1 when a reconstruction leaves -32767..32767, else 0.
constexpr std::uint32_t overflows(std::int32_t output) {
    return std::uint32_t{output > 32767} | std::uint32_t{output < -32767};
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
    const auto bits = nbz::bit_cast<std::uint32_t>(static_cast<float>(greater(step, 1)));
    const std::uint32_t octave_exponent = 126;  // the exponent of a float in [0.5, 1)
    return (bits >> 23) + ((bits + (11U << 19)) >> 23) + ((bits + (6U << 19)) >> 23) - 3 * octave_exponent;
}
static_assert(step_max < (1 << 24));
// Octave and third: 7 is 111 (bit width 3, next bits 1100), 2687 and 2688 are
// 1 0100 1111111 and 1 0101 0000000 (bit width 12).
static_assert(step_class(1) == 3 && step_class(7) == 11 && step_class(2687) == 36 && step_class(2688) == 37);

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
constexpr std::uint32_t capped_error(std::int32_t output, std::int32_t x) {
    const std::int32_t near = greater(lesser(output, 1 << 17), -(1 << 17));
    return static_cast<std::uint32_t>(lesser(static_cast<std::int32_t>(magnitude_of(near - x)), 65536));
}
static_assert(std::uint64_t{65536} * 65536 == error_cap);

// The key of the candidate at `position` extending a path of cost `cost`,
// whose output has error `error` (capped) and overflows or not: its cost is
// the squared error, plus overflow_cost for an output outside
// -32767..32767 (so error_cap caps the squared error there).
constexpr std::uint64_t key_of(std::uint64_t cost, std::uint32_t error, std::uint32_t overflow, std::size_t position) {
    const std::uint64_t total = cost + std::uint64_t{error} * error + overflow_cost * overflow;
    return lesser(total, cost_limit) << index_bits | position;
}

// A hash of the five fields that make a state (see same_state): each field
// times its factor, xored, then the high bits folded down. The AVX-512
// kernel works it out in vectors from the same factors.
namespace hash_factor {
constexpr std::uint32_t output = 0x9E3779B1U;
constexpr std::uint32_t estimate = 0x85EBCA77U;
constexpr std::uint32_t delta = 0x27D4EB2FU;
constexpr std::uint32_t delta_prev = 0x165667B1U;
constexpr std::uint32_t step = 0xC2B2AE3DU;
constexpr int fold = 15;
}  // namespace hash_factor

constexpr std::uint32_t state_hash(std::int32_t output, std::int32_t estimate, std::int32_t delta,
                                   std::int32_t delta_prev, std::int32_t step) {
    std::uint32_t h = static_cast<std::uint32_t>(output) * hash_factor::output;
    h ^= static_cast<std::uint32_t>(estimate) * hash_factor::estimate;
    h ^= static_cast<std::uint32_t>(delta) * hash_factor::delta;
    h ^= static_cast<std::uint32_t>(delta_prev) * hash_factor::delta_prev;
    h ^= static_cast<std::uint32_t>(step) * hash_factor::step;
    return h ^ (h >> hash_factor::fold);
}

// The surviving paths, one array per field, so that each operation runs
// across all paths at once. Slots 0..path_count-1 are alive; the slots past
// them hold earlier or initial states, which the vector kernels read as
// whole vectors and never choose.
struct paths {
    alignas(64) std::array<std::int32_t, paths_max> delta;
    alignas(64) std::array<std::int32_t, paths_max> delta_prev;
    alignas(64) std::array<std::int32_t, paths_max> estimate;
    alignas(64) std::array<std::int32_t, paths_max> step;
    alignas(64) std::array<std::int32_t, paths_max> output;
    alignas(64) std::array<std::uint64_t, paths_max> cost;  // relative to the cheapest path, saturating
    // The slot that each path descends from at pending sample
    // commit_samples - 1, where the next commit ends.
    alignas(64) std::array<std::uint8_t, paths_max> origin;
};

// The state of the path in `slot` (its peak is not tracked and reads 0).
constexpr encoder_state state_at(const paths& p, std::size_t slot) {
    return {p.delta[slot], p.delta_prev[slot], p.estimate[slot], p.step[slot], p.output[slot], 0};
}

// One step of a path: which path of the previous sample it extends, and the
// code it chose. The AVX-512 kernel stores it as two bytes, parent first.
struct history_step {
    std::uint8_t parent;
    std::int8_t code;
};
static_assert(sizeof(history_step) == 2 && offsetof(history_step, code) == 1);

using history_row = std::array<history_step, paths_max>;
using state_hashes = std::array<std::uint32_t, paths_max>;

}  // namespace nbz::search
