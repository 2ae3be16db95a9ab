// make_pcm OUT.raw SECONDS [SEED] [music|speech|noise]
//
// Writes SECONDS of synthetic mono 16-bit little-endian PCM at 44.1 kHz (see
// synth.h); music by default. The same seed gives the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "synth.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fputs("Usage: make_pcm OUT.raw SECONDS [SEED] [music|speech|noise]\n", stdout);
        return 1;
    }
    const auto total = static_cast<std::uint64_t>(std::atof(argv[2]) * nbz::synth::rate);
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    const std::string_view kind = argc > 4 ? argv[4] : "music";
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::fputs("Couldn't open output file.\n", stdout);
        return 1;
    }
    nbz::synth::music_source music{seed};
    nbz::synth::speech_source speech{seed};
    nbz::synth::noise_source noise{seed};
    std::vector<unsigned char> bytes;
    bool ok = true;
    for (std::uint64_t n = 0; n < total; ++n) {
        const std::int16_t s = kind == "speech" ? speech.next() : kind == "noise" ? noise.next() : music.next();
        bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(s) & 0xFF));
        bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(s) >> 8));
        if (bytes.size() >= 1 << 16 || n + 1 == total) {
            ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
            bytes.clear();
        }
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fputs("Couldn't write output file.\n", stdout);
    return ok ? 0 : 1;
}
