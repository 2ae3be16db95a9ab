// hq_bench [--widths=W,W,...] [--kernel=reference|plain|avx2|avx512] [FILE.wav|FILE.raw ...]
//
// The search encoder against the greedy one: for each material, the
// signal-to-noise ratio of each reconstruction, the gain in dB, the samples
// whose reconstruction overflows 16 bits, and the search's speed (in processor
// time of its thread, which other jobs disturb less than wall time), at several
// widths (by default 8 to 64; the default width is starred), with the
// widest kernel this processor runs or the one asked for. Materials:
// synthetic music, speech and noise, the same at +6 dB, and any files given
// (raw mono PCM16, or mono PCM16 WAV such as espeak-ng writes). The last
// line gives each width's mean gain, worst gain, and mean and slowest speed.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "nbz/decoder.h"
#include "nbz/nbz.h"
#include "nbz/search_encoder.h"
#include "synth.h"

namespace {

// Seconds of processor time that this thread has run: other jobs on a
// shared machine slow it far less than they slow the clock on the wall.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct material {
    std::string name;
    std::vector<std::int16_t> samples;
};

struct quality {
    double snr;
    long overflowing;
    double samples_per_second;
};

quality measure(const std::vector<std::int16_t>& x, const std::vector<std::uint32_t>& words, double seconds) {
    nbz::encoder_state state;
    nbz::encoder_init(state);
    std::array<std::int32_t, 8> out{};
    double signal = 0;
    double noise = 0;
    long overflowing = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
        nbz::decode_block(state, words[w], out);
        for (std::size_t i = 0; i < 8 && 8 * w + i < x.size(); ++i) {
            const double s = x[8 * w + i];
            const double d = std::clamp(out[i], -32768, 32767) - s;
            signal += s * s;
            noise += d * d;
            overflowing += out[i] > 32767 || out[i] < -32767;
        }
    }
    return {noise == 0 ? INFINITY : 10 * std::log10(signal / noise), overflowing,
            static_cast<double>(x.size()) / seconds};
}

std::array<std::int16_t, 8> block_at(const std::vector<std::int16_t>& x, std::size_t start) {
    std::array<std::int16_t, 8> block{};
    for (std::size_t i = 0; i < 8 && start + i < x.size(); ++i) block[i] = x[start + i];
    return block;
}

quality greedy(const std::vector<std::int16_t>& x) {
    const double t0 = thread_seconds();
    nbz::encoder_state state;
    nbz::encoder_init(state);
    std::vector<std::uint32_t> words;
    for (std::size_t b = 0; b < x.size(); b += 8) words.push_back(nbz::encode_block(state, block_at(x, b)));
    return measure(x, words, thread_seconds() - t0);
}

quality search(const std::vector<std::int16_t>& x, int width, nbz::search_kernel kernel) {
    const double t0 = thread_seconds();
    const nbz::search_encoder_ptr encoder = nbz::search_create(width, kernel);
    std::vector<std::uint32_t> words;
    std::array<std::uint32_t, nbz::search_max_words> out{};
    for (std::size_t b = 0; b < x.size(); b += 8) {
        const std::size_t n = nbz::search_encode_block(*encoder, block_at(x, b), out);
        words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::size_t n = nbz::search_finish(*encoder, out);
    words.insert(words.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return measure(x, words, thread_seconds() - t0);
}

// A raw file, or the data chunk of a WAV file; false when it cannot be read.
bool load(const std::string& path, std::vector<std::int16_t>& samples) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) return false;
    std::size_t begin = 0;
    std::size_t end = bytes.size();
    if (bytes.size() > 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0) {
        for (std::size_t p = 12; p + 8 <= bytes.size();) {
            const std::size_t size =
                bytes[p + 4] | bytes[p + 5] << 8 | bytes[p + 6] << 16 | static_cast<std::size_t>(bytes[p + 7]) << 24;
            if (std::memcmp(&bytes[p], "data", 4) == 0) {
                begin = p + 8;
                end = std::min(bytes.size(), begin + size);
                break;
            }
            p += 8 + size + (size & 1);
        }
    }
    samples.clear();
    for (std::size_t p = begin; p + 1 < end; p += 2)
        samples.push_back(static_cast<std::int16_t>(bytes[p] | bytes[p + 1] << 8));
    return true;
}

std::vector<std::int16_t> louder(std::vector<std::int16_t> x) {  // +6 dB, saturated
    for (auto& s : x) s = static_cast<std::int16_t>(std::clamp(s * 2.0, -32768.0, 32767.0));
    return x;
}

}  // namespace

// "--widths=20,32,64" as widths; empty when the list is not widths of 1..64.
std::vector<int> widths_of(const std::string& list) {
    std::vector<int> widths;
    for (std::size_t p = 0; p <= list.size();) {
        const std::size_t comma = std::min(list.find(',', p), list.size());
        const std::string item = list.substr(p, comma - p);
        char* end = nullptr;
        const long width = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || width < 1 || width > nbz::search_width_max) return {};
        widths.push_back(static_cast<int>(width));
        p = comma + 1;
    }
    return widths;
}

constexpr const char* usage =
    "Usage: hq_bench [--widths=W,W,...] [--kernel=reference|plain|avx2|avx512] [FILE.wav|FILE.raw ...]\n";

int main(int argc, char** argv) {
    std::vector<int> widths = {8, 12, 16, 20, 24, 32, 48, 64};
    nbz::search_kernel kernel = nbz::search_widest_kernel();
    std::vector<material> materials;
    for (const char* kind : {"music", "speech", "noise"}) {
        auto samples = nbz::synth::generate(kind, std::size_t{10} * nbz::synth::rate, 1);
        materials.push_back({std::string{kind} + "+6dB", louder(samples)});
        materials.push_back({kind, std::move(samples)});
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::printf("%s", usage);
            return 0;
        }
        if (arg.starts_with("--widths=")) {
            widths = widths_of(arg.substr(9));
            if (widths.empty()) {
                std::printf("Widths must be numbers from 1 to %d, separated by commas.\n%s", nbz::search_width_max,
                            usage);
                return 2;
            }
            continue;
        }
        if (arg.starts_with("--kernel=")) {
            const std::string name = arg.substr(9);
            const auto wanted = name == "reference" ? nbz::search_kernel::reference
                                : name == "plain"   ? nbz::search_kernel::plain
                                : name == "avx2"    ? nbz::search_kernel::avx2
                                : name == "avx512"  ? nbz::search_kernel::avx512
                                                    : nbz::search_widest_kernel();
            if (name != "reference" && name != "plain" && name != "avx2" && name != "avx512") {
                std::printf("Kernels are reference, plain, avx2 and avx512.\n%s", usage);
                return 2;
            }
            if (wanted > nbz::search_widest_kernel()) {
                std::printf("This processor does not run the %s kernel.\n", nbz::search_kernel_name(wanted));
                return 1;
            }
            kernel = wanted;
            continue;
        }
        if (arg.starts_with("-")) {
            std::printf("Unknown option: %s\n%s", argv[i], usage);
            return 2;
        }
        std::vector<std::int16_t> samples;
        if (!load(argv[i], samples)) {
            std::printf("Couldn't read %s.\n", argv[i]);
            return 1;
        }
        materials.push_back({std::string{argv[i]} + "+6dB", louder(samples)});
        materials.push_back({argv[i], std::move(samples)});
    }
    std::printf("Kernel: %s\n", nbz::search_kernel_name(kernel));
    std::printf("%-28s %12s", "material", "greedy");
    for (const int w : widths) std::printf("   width %-2d%s    ", w, w == nbz::search_default_width ? "*" : " ");
    std::printf("\n%-28s %12s", "", "dB  (over)");
    for (std::size_t k = 0; k < std::size(widths); ++k) std::printf(" %17s", "+dB (over) Ms/s");
    std::printf("\n");
    std::vector<double> gains(std::size(widths), 0.0);
    std::vector<double> worst(std::size(widths), INFINITY);
    std::vector<double> speed(std::size(widths), 0.0);
    std::vector<double> slowest(std::size(widths), INFINITY);
    for (const material& m : materials) {
        const quality g = greedy(m.samples);
        std::printf("%-28s %6.2f (%4ld)", m.name.c_str(), g.snr, g.overflowing);
        for (std::size_t k = 0; k < std::size(widths); ++k) {
            const quality q = search(m.samples, widths[k], kernel);
            gains[k] += (q.snr - g.snr) / static_cast<double>(materials.size());
            worst[k] = std::min(worst[k], q.snr - g.snr);
            speed[k] += q.samples_per_second / 1e6 / static_cast<double>(materials.size());
            slowest[k] = std::min(slowest[k], q.samples_per_second / 1e6);
            std::printf(" %+6.2f (%3ld) %4.2f", q.snr - g.snr, q.overflowing, q.samples_per_second / 1e6);
        }
        std::printf("\n");
    }
    std::printf("%-28s %12s", "mean gain, worst, Ms/s", "");
    for (std::size_t k = 0; k < std::size(widths); ++k)
        std::printf(" %+6.2f %+5.2f %4.2f", gains[k], worst[k], speed[k]);
    std::printf("\n%-28s %12s", "slowest Ms/s", "");
    for (std::size_t k = 0; k < std::size(widths); ++k) std::printf(" %17.2f", slowest[k]);
    std::printf("\n");
}
