#pragma once
// A WAV file written byte by byte, without libsndfile.

#include <cstdint>
#include <vector>

namespace nbz::testing {

// `data` (16-bit little-endian samples) behind the canonical 44-byte header
// of a mono 16-bit WAV file at 22050 Hz.
inline std::vector<unsigned char> wav_file(const std::vector<unsigned char>& data) {
    std::vector<unsigned char> file;
    const auto tag = [&](const char* text) { file.insert(file.end(), text, text + 4); };
    const auto le = [&](std::uint32_t value, int size) {
        for (int b = 0; b < size; ++b) file.push_back(static_cast<unsigned char>(value >> (8 * b)));
    };
    const auto length = static_cast<std::uint32_t>(data.size());
    tag("RIFF"), le(36 + length, 4), tag("WAVE"), tag("fmt "), le(16, 4), le(1, 2), le(1, 2), le(22050, 4);
    le(44100, 4), le(2, 2), le(16, 2), tag("data"), le(length, 4);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

}  // namespace nbz::testing
