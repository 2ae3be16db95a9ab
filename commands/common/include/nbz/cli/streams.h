#pragma once
// Moving samples and code words between files and memory in large chunks,
// with constant memory whatever the file's size.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "nbz/platform/files.h"

namespace nbz::cli {

// Bytes moved per read or write.
inline constexpr std::size_t chunk_bytes = std::size_t{1} << 16;

// Reads the input's whole 16-bit little-endian samples (a final odd byte is
// ignored), scales each by `gain` (see scale_sample), and passes them to
// `consume` in chunks of whole eight-sample blocks, with the number of them
// that came from the input; the last block is filled up with zero samples.
// Throws failure (read_failed) if the input delivers fewer bytes than the size it had
// when opened.
void read_pcm_blocks(input_file& input, double gain,
                     const std::function<void(std::span<const std::int16_t> blocks, std::size_t real)>& consume);

// Reads the input as little-endian 32-bit code words, passing them to
// `consume` in chunks. The input's size must be a multiple of 4. Throws
// failure (read_failed) if it delivers fewer bytes than that size.
void read_code_words(input_file& input, const std::function<void(std::span<const std::uint32_t> words)>& consume);

// Gathers bytes into chunk-sized writes to an output file.
class chunk_writer {
public:
    explicit chunk_writer(output_file& output);
    void put_words(std::span<const std::uint32_t> words);     // 4 bytes each, least significant first
    void put_samples(std::span<const std::int32_t> samples);  // saturated to 16 bits, 2 bytes each
    void flush();                                             // writes out what is gathered

private:
    std::span<std::byte> room(std::size_t bytes);

    output_file& output_;
    std::vector<std::byte> buffer_;
    std::size_t used_ = 0;
};

}  // namespace nbz::cli
