#pragma once
// A search encoder: writes the same stream format as encode_block, but
// chooses each code to minimise the error of the reconstruction instead of
// taking the truncated quotient.
//
// Any sequence of codes is a valid stream, so the encoder is free to pick
// codes that the greedy quantiser would not. It runs a beam search over code
// sequences: each of up to `width` surviving paths is extended by the two
// codes whose levels bracket its residual (the greedy code and the next one
// toward the residual; all sixteen when both would overflow). Each extension
// is weighed by the reconstruction that the decoder's own state update gives,
// and `width` of them survive: three quarters of the slots go first to the
// cheapest extension of each step class, a third of an octave wide (so that
// paths which adapted the step differently, and pay for it only later, stay
// alive), the rest to the cheapest of the others. Only the survivors are
// advanced to full states, and survivors that reach the same state are
// merged. The cost of a path is the sum over its samples of
// (output - input)^2; a sample whose reconstruction leaves -32767..32767
// costs more than any amount of plain error within the window, so a path
// that overflows loses to every path that does not.
//
// Paths are remembered as back-pointers for the last 2 * search_commit_samples
// samples. Whenever that history is full, the oldest search_commit_samples
// samples of the cheapest path are committed as code words and the paths
// that disagree with them are dropped, so memory and time per sample are
// fixed whatever the input's length. The history is long (512 samples, more
// than a voice's pitch period) because a path that keeps a larger step
// through a quiet stretch pays for it at once and gains only at the next
// loud onset; committing sooner drops such paths before they pay off.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "nbz/nbz.h"

namespace nbz {

inline constexpr int search_width_max = 64;
inline constexpr int search_default_width = 64;  // the widest whose slowest material runs at 1.5 M samples/s
inline constexpr std::size_t search_commit_samples = 256;
inline constexpr std::size_t search_history_samples = 2 * search_commit_samples;
// The most code words that one call can hand back.
inline constexpr std::size_t search_max_words = search_history_samples / 8;

// The surviving paths, one array per field, so that each operation runs
// across all paths at once. Slots 0..path_count-1 are alive.
struct search_paths {
    std::array<std::int32_t, search_width_max> delta;
    std::array<std::int32_t, search_width_max> delta_prev;
    std::array<std::int32_t, search_width_max> estimate;
    std::array<std::int32_t, search_width_max> step;
    std::array<std::int32_t, search_width_max> output;
    std::array<std::uint64_t, search_width_max> cost;  // relative to the cheapest path, saturating
    // The slot that each path descends from at pending sample
    // search_commit_samples - 1, where the next commit ends.
    std::array<std::uint8_t, search_width_max> origin;
};

// How the search runs its arithmetic across paths: as the compiler builds it
// for any processor of the target (plain), or in 256-bit or 512-bit vectors
// on x86-64 processors with AVX2 or AVX-512. All give the same streams.
enum class search_kernel : std::uint8_t { plain, avx2, avx512 };

// The fastest kernel that this processor runs.
search_kernel search_widest_kernel();

// One step of a path: which path of the previous sample it extends, and the
// code it chose.
struct search_step {
    std::uint8_t parent;
    std::int8_t code;
};

// The search's whole state, owned by the caller (about 70 KiB; allocate it
// once, not per block). The history, inputs and counted flags are rings:
// pending sample p lives in row (first + p) % search_history_samples.
struct search_encoder {
    int width;                              // paths kept per sample, 1..search_width_max
    int path_count;                         // paths alive now
    search_kernel kernel;                   // one that this processor runs
    std::array<search_paths, 2> path_sets;  // the paths alive now, and room for the next sample's
    int current;                            // which of path_sets is alive now
    std::size_t pending;                    // samples searched but not yet committed
    std::size_t first;                      // the row of the oldest pending sample
    std::array<std::array<search_step, search_width_max>, search_history_samples> history;
    std::array<std::int16_t, search_history_samples> inputs;  // the pending samples
    std::array<bool, search_history_samples> counted;         // whether each counts toward the error totals

    // Scratch of the selection: the cheapest candidate of each step class,
    // all ones between samples (so that no sample has to clear it all), and
    // where the AVX-512 kernel starts looking for the cheapest others (which
    // changes only how fast it finds them).
    std::array<std::uint64_t, 99> class_cheapest;
    std::uint64_t selection_hint;

    encoder_state committed;  // the state after every committed code: its peak is the stream's level
    double signal_energy;     // sum of input^2 over the counted committed samples
    double noise_energy;      // sum of (reconstruction - input)^2 over them, reconstruction saturated to 16 bits
};

// One surviving path as a record.
struct search_path {
    encoder_state state;  // its peak is not tracked per path and reads 0
    std::uint64_t cost;   // relative to the cheapest path, saturating
};

// The path in `slot` (0..path_count-1).
search_path search_path_at(const search_encoder& encoder, int slot);

// The codes of the pending samples along the path in `slot`, oldest first,
// into `codes`; returns their number (encoder.pending). Replaying them from
// `committed` gives the path's state.
std::size_t search_pending_codes(const search_encoder& encoder, int slot, std::span<int, search_history_samples> codes);

// Starts a stream from the encoder's initial condition, keeping `width`
// paths (clamped to 1..search_width_max), with `kernel` (or the widest that
// this processor runs, if it does not run that one).
void search_init(search_encoder& encoder, int width = search_default_width,
                 search_kernel kernel = search_widest_kernel());

// Searches one block of eight consecutive samples. The first `counted`
// samples (0..8) count toward the error totals; the rest are padding. Code
// words that became final are stored in `words` in stream order, and their
// number (0 or search_commit_samples / 8) is returned.
std::size_t search_encode_block(search_encoder& encoder, std::span<const std::int16_t, 8> samples,
                                std::span<std::uint32_t, search_max_words> words, int counted = 8);

// Ends the stream: commits every pending sample along the cheapest path,
// stores the remaining code words in `words` and returns their number.
std::size_t search_finish(search_encoder& encoder, std::span<std::uint32_t, search_max_words> words);

}  // namespace nbz
