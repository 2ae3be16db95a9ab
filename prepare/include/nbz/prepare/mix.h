#pragma once
// Mixing an audio file's channels down to the one channel that the encoder
// takes.

#include <cstddef>
#include <span>

namespace nbz {

// The average of each frame's `channels` interleaved samples, into `mono`
// (frames = mono.size(); `interleaved` holds at least frames * channels
// values): summed in channel order, then divided once, so that integer
// samples give the same bits everywhere. `channels` is at least 1.
inline void mix_to_mono(std::span<const double> interleaved, int channels, std::span<double> mono) {
    const auto n = static_cast<std::size_t>(channels);
    for (std::size_t f = 0; f < mono.size(); ++f) {
        double sum = 0;
        for (std::size_t c = 0; c < n; ++c) sum += interleaved[f * n + c];
        mono[f] = sum / channels;
    }
}

}  // namespace nbz
