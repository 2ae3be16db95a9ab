#pragma once
// A container's sound as the encoder takes it: mono, at the chosen rate,
// gained and converted once to 16 bits, in eight-sample blocks.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "nbz/audio/reader.h"

namespace nbz::cli {

// Passes every sample of `reader` (mixed to mono, resampled to
// `resample_to_hz` when given, even if that is the file's own rate, scaled
// by `gain`, then rounded and saturated to 16 bits) to `consume` in chunks
// of whole eight-sample blocks, with the number of them that came from the
// input; the last block is filled up with zero samples. Returns that number
// over the whole input. Throws as the reader and the resampler do.
std::uint64_t read_sound_blocks(
    audio::sound_reader& reader, std::optional<long> resample_to_hz, double gain,
    const std::function<void(std::span<const std::int16_t> blocks, std::size_t real)>& consume);

}  // namespace nbz::cli
