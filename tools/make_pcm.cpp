// make_pcm OUT SECONDS [SEED] [music|speech|noise]
//
// Writes SECONDS of synthetic mono 16-bit audio at 44.1 kHz (see synth.h);
// music by default. OUT is raw little-endian PCM, or a WAV file when its name
// ends in .wav, so that the commands' container path can be tried without
// any other tool. The same seed gives the same samples.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "synth.h"

namespace {

constexpr std::string_view usage = "Usage: make_pcm OUT.raw|OUT.wav SECONDS [SEED] [music|speech|noise]\n";

// A whole argument as a finite, non-negative number; false for "abc", "10x" or "-1".
bool parse_seconds(const char* text, double& seconds) {
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && seconds >= 0 && seconds < 1e7;
}

bool parse_seed(const char* text, std::uint64_t& seed) {
    char* end = nullptr;
    errno = 0;
    seed = std::strtoull(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && text[0] != '-';
}

void put_le(std::vector<unsigned char>& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The 44-byte header of a mono 16-bit PCM WAV file holding `samples` samples.
std::vector<unsigned char> wav_header(std::uint64_t samples) {
    const auto data_bytes = static_cast<std::uint32_t>(2 * samples);
    std::vector<unsigned char> h;
    const auto tag = [&](std::string_view t) { h.insert(h.end(), t.begin(), t.end()); };
    tag("RIFF");
    put_le(h, 36 + data_bytes, 4);
    tag("WAVEfmt ");
    put_le(h, 16, 4);                                                // fmt chunk size
    put_le(h, 1, 2);                                                 // PCM
    put_le(h, 1, 2);                                                 // one channel
    put_le(h, static_cast<std::uint32_t>(nbz::synth::rate), 4);      // frames per second
    put_le(h, static_cast<std::uint32_t>(2 * nbz::synth::rate), 4);  // bytes per second
    put_le(h, 2, 2);                                                 // bytes per frame
    put_le(h, 16, 2);                                                // bits per sample
    tag("data");
    put_le(h, data_bytes, 4);
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;
    std::uint64_t seed = 1;
    const std::string_view kind = argc > 4 ? argv[4] : "music";
    if (argc < 3 || argc > 5 || !parse_seconds(argv[2], seconds) || (argc > 3 && !parse_seed(argv[3], seed)) ||
        (kind != "music" && kind != "speech" && kind != "noise")) {
        std::fputs(usage.data(), stdout);
        return 1;
    }
    const auto total = static_cast<std::uint64_t>(seconds * nbz::synth::rate);
    const std::string_view name = argv[1];
    const bool wav = name.size() >= 4 && name.substr(name.size() - 4) == ".wav";
    if (wav && total > (std::uint64_t{1} << 31) - 64) {  // a WAV's sizes are 32-bit
        std::fputs("Too long for a WAV file.\n", stdout);
        return 1;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::fputs("Couldn't open output file.\n", stdout);
        return 1;
    }
    nbz::synth::music_source music{seed};
    nbz::synth::speech_source speech{seed};
    nbz::synth::noise_source noise{seed};
    std::vector<unsigned char> bytes = wav ? wav_header(total) : std::vector<unsigned char>{};
    bool ok = true;
    for (std::uint64_t n = 0; n < total || !bytes.empty(); ++n) {
        if (n < total) {
            const std::int16_t s = kind == "speech" ? speech.next() : kind == "noise" ? noise.next() : music.next();
            put_le(bytes, static_cast<std::uint16_t>(s), 2);
        }
        if (bytes.size() >= 1 << 16 || n + 1 >= total) {
            ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
            bytes.clear();
        }
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fputs("Couldn't write output file.\n", stdout);
    return ok ? 0 : 1;
}
