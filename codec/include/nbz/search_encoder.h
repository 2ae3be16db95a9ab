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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace nbz {

inline constexpr int search_width_max = 64;
inline constexpr int search_default_width = 64;  // the commands' default: the widest
inline constexpr std::size_t search_commit_samples = 256;
inline constexpr std::size_t search_history_samples = 2 * search_commit_samples;
// The most code words that one call can hand back.
inline constexpr std::size_t search_max_words = search_history_samples / 8;

// How the search runs its arithmetic across paths: the reference, one
// candidate at a time (for tests and comparisons: search_widest_kernel never
// picks it); plain, the reference's arithmetic in loops across paths as the
// compiler builds them for any processor of the target; or in 256-bit or
// 512-bit vectors on x86-64 processors with AVX2 or AVX-512. All give the
// same streams.
enum class search_kernel : std::uint8_t { reference, plain, avx2, avx512 };

// The fastest kernel that this processor runs (plain where the target is
// not x86-64; never the reference).
search_kernel search_widest_kernel();

// The kernel's name for people: "reference", "plain", "AVX2" or "AVX-512".
const char* search_kernel_name(search_kernel kernel);

// The search's state: about 135 KiB, with the memory that each sample works
// in, so that a sample needs only a few KiB of stack. Made by search_create.
struct search_encoder;
struct search_encoder_deleter {
    void operator()(search_encoder* encoder) const noexcept;
};
using search_encoder_ptr = std::unique_ptr<search_encoder, search_encoder_deleter>;

// A new encoder, started as search_init starts it. Allocates once; nothing
// else in the search allocates. Throws std::bad_alloc when memory runs out.
search_encoder_ptr search_create(int width = search_default_width, search_kernel kernel = search_widest_kernel());

// Starts a new stream from the encoder's initial condition, keeping `width`
// paths (clamped to 1..search_width_max), with `kernel` (or the widest that
// this processor runs, if it does not run that one).
void search_init(search_encoder& encoder, int width = search_default_width,
                 search_kernel kernel = search_widest_kernel());

// Searches one block of eight consecutive samples. A short last block is
// filled up with zero samples, as the format pads its last word: the stream
// depends on that padding, though the samples it decodes to are dropped.
// Code words that became final are stored in `words` in stream order, and
// their number (0 or search_commit_samples / 8) is returned.
std::size_t search_encode_block(search_encoder& encoder, std::span<const std::int16_t, 8> samples,
                                std::span<std::uint32_t, search_max_words> words);

// How many code words the next `blocks` calls of search_encode_block hand
// back in all: 0 or a multiple of search_commit_samples / 8, fixed by the
// number of blocks searched since search_init, whatever their samples. So a
// caller can size its buffer before the samples go in.
std::size_t search_words_due(const search_encoder& encoder, std::size_t blocks);

// Ends the stream: commits every pending sample along the cheapest path,
// stores the remaining code words in `words` and returns their number. Call
// search_init before encoding another stream with the same encoder.
std::size_t search_finish(search_encoder& encoder, std::span<std::uint32_t, search_max_words> words);

}  // namespace nbz
