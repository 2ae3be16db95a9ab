// Writes the seeds of sound_fuzz into the folder given: a short file of each
// container that nbzhq reads, made by the tests' own writer.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sound_files.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::puts("Usage: sound_seeds FOLDER");
        return 1;
    }
    const std::string folder = argv[1];
    std::vector<std::int32_t> tone;
    for (int i = 0; i < 400; ++i) tone.push_back(static_cast<std::int32_t>(1e9 * std::sin(i * 0.3)));
    const struct {
        const char* name;
        int format;
        int rate;
        int channels;
    } seeds[] = {
        {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1},
        {"wav_stereo_24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 2},
        {"wav_float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 22050, 1},
        {"wavex", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 8000, 2},
        {"rifx", SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, 8000, 1},
        {"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 8000, 1},
        {"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 8000, 1},
        {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 8000, 1},
        {"aifc_float", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 8000, 1},
        {"caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 8000, 1},
        {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 1},
        {"ogg_vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 1},
        {"ogg_opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 8000, 1},
        {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 8000, 1},
    };
    int written = 0;
    for (const auto& seed : seeds) {
        const std::string path = folder + "/" + seed.name;
        std::vector<std::int32_t> frames;
        for (const std::int32_t v : tone)
            for (int c = 0; c < seed.channels; ++c) frames.push_back(v);
        if (!nbz::testing::write_sound(path, seed.format, seed.rate, seed.channels, frames)) continue;
        ++written;
        if ((seed.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG) continue;
        // nbzhq knows an MP3 by the ID3 tag in front, as encoders write it.
        std::ifstream in{path, std::ios::binary};
        const std::string body{std::istreambuf_iterator<char>{in}, {}};
        if (body.starts_with("ID3")) continue;
        std::ofstream out{path, std::ios::binary | std::ios::trunc};
        out << std::string{"ID3\x04\0\0\0\0\0\x0a", 10} << std::string(10, '\0') << body;
    }
    // Streams joined end to end, read link after link.
    for (const char* name : {"ogg_vorbis", "mp3"}) {
        std::ifstream in{folder + "/" + name, std::ios::binary};
        const std::string body{std::istreambuf_iterator<char>{in}, {}};
        if (body.empty()) continue;
        std::ofstream out{folder + "/" + name + "_joined", std::ios::binary};
        out << body << body;
        ++written;
    }
    std::printf("%d seeds\n", written);
    return written > 0 ? 0 : 1;
}
