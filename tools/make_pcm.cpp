// make_pcm OUT.raw SECONDS [SEED]
//
// Writes SECONDS of synthetic mono 16-bit little-endian PCM at 44.1 kHz that
// behaves like real material for an adaptive coder: chords of drifting tones
// under a slow level envelope, note changes, noise bursts, a loud passage
// near full scale, and short silences. The same seed gives the same bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace {

constexpr int rate = 44100;

struct random_source {
    std::uint64_t state;
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fputs("Usage: make_pcm OUT.raw SECONDS [SEED]\n", stdout);
        return 1;
    }
    const double seconds = std::atof(argv[2]);
    random_source random{argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1};
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::fputs("Couldn't open output file.\n", stdout);
        return 1;
    }
    const auto total = static_cast<std::uint64_t>(seconds * rate);
    std::vector<unsigned char> bytes;
    bytes.reserve(2 * rate);
    double phase[3] = {0, 0, 0};
    double freq[3] = {220, 277, 330};
    double level = 0.3;
    double target_level = 0.3;
    double noise = 0;
    bool ok = true;
    for (std::uint64_t n = 0; n < total; ++n) {
        if (n % (rate / 4) == 0) {  // a new note, level and texture four times a second
            for (double& f : freq) f = 80.0 * std::pow(2.0, random.uniform() * 5.0);
            const double pick = random.uniform();
            target_level = pick < 0.1 ? 0.0 : pick < 0.2 ? 0.95 : 0.05 + 0.5 * random.uniform();
            noise = random.uniform() < 0.25 ? 0.3 * random.uniform() : 0.01;
        }
        level += (target_level - level) * 0.0005;
        double v = 0;
        for (int k = 0; k < 3; ++k) {
            phase[k] += 2 * std::numbers::pi * freq[k] / rate;
            v += std::sin(phase[k]) / (k + 1);
        }
        v = level * v / 1.83 + noise * level * (random.uniform() * 2 - 1);
        const auto sample = static_cast<std::int16_t>(std::clamp(v * 32767.0, -32768.0, 32767.0));
        bytes.push_back(static_cast<unsigned char>(sample & 0xFF));
        bytes.push_back(static_cast<unsigned char>((sample >> 8) & 0xFF));
        if (bytes.size() >= 2 * rate || n + 1 == total) {
            ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
            bytes.clear();
        }
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fputs("Couldn't write output file.\n", stdout);
    return ok ? 0 : 1;
}
