#pragma once
// Making and reading audio containers with libsndfile, for the tests.

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nbz::testing {

// Writes interleaved frames, given left-justified in 32 bits, as `format`
// (SF_FORMAT_WAV | SF_FORMAT_PCM_24, say), at a constant bit rate if asked
// (MP3). Float formats take value / 2^31.
inline bool write_sound(const std::string& path, int format, int rate, int channels,
                        const std::vector<std::int32_t>& interleaved, bool constant_bit_rate = false) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    int mode = SF_BITRATE_MODE_CONSTANT;
    if (constant_bit_rate) sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    const int subtype = format & SF_FORMAT_SUBMASK;
    bool written = false;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) {
        std::vector<double> values;
        values.reserve(interleaved.size());
        for (const std::int32_t v : interleaved) values.push_back(v / 2147483648.0);
        written = sf_writef_double(file, values.data(), frames) == frames;
    } else {
        written = sf_writef_int(file, interleaved.data(), frames) == frames;
    }
    return sf_close(file) == 0 && written;
}

struct sound {
    SF_INFO info{};
    std::vector<std::int16_t> samples;  // interleaved
};

inline sound read_sound(const std::string& path) {
    sound result;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &result.info);
    if (file == nullptr) return result;
    result.samples.resize(static_cast<std::size_t>(result.info.frames * result.info.channels));
    sf_readf_short(file, result.samples.data(), result.info.frames);
    sf_close(file);
    return result;
}

}  // namespace nbz::testing
