// resampler_bench [SECONDS]
//
// nbzhq's resampler beside libsoxr at its high-quality setting (SOXR_HQ), on
// the same tones, for a few rate pairs. For each pair and each resampler:
//   ripple    the spread (max - min, dB) of the gain of tones across the
//             passband, up to 0.91 of the lower Nyquist frequency (a stepped
//             sweep of 60 tones);
//   floor     the worst residual after the fitted tone is taken out of the
//             output, over those tones (dB below the tone): images, aliases
//             and rounding together;
//   stopband  the worst output level (dB below the input tone) of tones from
//             the output's Nyquist frequency to the input's (downsampling
//             only: a stepped sweep of 60 tones);
//   speed     output samples per second on SECONDS (default 20) of noise;
// and the speed ratio, measured side by side in this run.

#include <soxr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "nbz/prepare/resampler.h"

namespace {

using resample_fn = std::function<std::vector<double>(const std::vector<double>&, double, double)>;

// Feeds the input in command-sized chunks, as nbzhq does.
constexpr std::size_t chunk = 8192;

std::vector<double> ours(const std::vector<double>& in, double from, double to) {
    std::vector<double> out;
    nbz::resampler r{from, to, [&](std::span<const double> s) { out.insert(out.end(), s.begin(), s.end()); }};
    for (std::size_t i = 0; i < in.size(); i += chunk) r.put(std::span{in}.subspan(i, std::min(chunk, in.size() - i)));
    r.finish();
    return out;
}

std::vector<double> soxr_hq(const std::vector<double>& in, double from, double to) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    soxr_t handle = soxr_create(from, to, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) {
        std::fprintf(stderr, "soxr_create: %s\n", error);
        std::exit(1);
    }
    std::vector<double> out;
    std::vector<double> buffer(std::size_t{1} << 14);
    std::size_t offset = 0;
    for (;;) {
        const bool flushing = offset == in.size();
        const std::size_t length = std::min(chunk, in.size() - offset);
        std::size_t taken = 0;
        std::size_t made = 0;
        soxr_process(handle, flushing ? nullptr : in.data() + offset, length, &taken, buffer.data(), buffer.size(),
                     &made);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(made));
        offset += taken;
        if (flushing && made == 0) break;
    }
    soxr_delete(handle);
    return out;
}

std::vector<double> tone(double hz, double rate, std::size_t length) {
    std::vector<double> v(length);
    for (std::size_t n = 0; n < length; ++n)
        v[n] = 0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / rate);
    return v;
}

struct fit {
    double gain_db;
    double residual_db;
};

// Least-squares fit of a sine and cosine at `hz` to the middle of `out`
// (away from the edges' transients); gain and the residual's level against
// the input amplitude 0.5.
fit fit_tone(const std::vector<double>& out, double hz, double rate) {
    const std::size_t edge = out.size() / 8;
    const std::size_t end = out.size() - edge;
    double ss = 0;
    double sc = 0;
    double cc = 0;
    double ys = 0;
    double yc = 0;
    for (std::size_t n = edge; n < end; ++n) {
        const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
        const double s = std::sin(w);
        const double c = std::cos(w);
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += out[n] * s;
        yc += out[n] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    double residual = 0;
    for (std::size_t n = edge; n < end; ++n) {
        const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
        const double e = out[n] - a * std::sin(w) - b * std::cos(w);
        residual += e * e;
    }
    const double rms = std::sqrt(residual / static_cast<double>(end - edge));
    return {20 * std::log10(std::hypot(a, b) / 0.5), 20 * std::log10(rms / (0.5 / std::sqrt(2.0)))};
}

double level_db(const std::vector<double>& out) {
    const std::size_t edge = out.size() / 8;
    double sum = 0;
    for (std::size_t n = edge; n < out.size() - edge; ++n) sum += out[n] * out[n];
    const double rms = std::sqrt(sum / static_cast<double>(out.size() - 2 * edge));
    return 20 * std::log10(std::max(rms, 1e-300) / (0.5 / std::sqrt(2.0)));
}

struct figures {
    double ripple_db;
    double floor_db;
    double stopband_db;
    double samples_per_second;
};

figures measure(const resample_fn& resample, double from, double to, double seconds) {
    const double nyquist = std::min(from, to) / 2;
    const auto length = static_cast<std::size_t>(from / 2);  // half a second per tone
    figures f{0, -400, -400, 0};
    double low = 1e9;
    double high = -1e9;
    constexpr int tones = 60;
    for (int i = 0; i < tones; ++i) {
        const double hz = nyquist * (0.005 + (nbz::resample_passband - 0.005) * i / (tones - 1));
        const fit r = fit_tone(resample(tone(hz, from, length), from, to), hz, to);
        low = std::min(low, r.gain_db);
        high = std::max(high, r.gain_db);
        f.floor_db = std::max(f.floor_db, r.residual_db);
    }
    f.ripple_db = high - low;
    if (to < from) {
        for (int i = 0; i < tones; ++i) {
            const double hz = to / 2 + (from / 2 - to / 2) * (0.001 + 0.998 * i / (tones - 1));
            f.stopband_db = std::max(f.stopband_db, level_db(resample(tone(hz, from, length), from, to)));
        }
    }
    std::vector<double> noise(static_cast<std::size_t>(from * seconds));
    std::uint32_t seed = 1;
    for (double& v : noise) {
        seed = seed * 1664525U + 1013904223U;
        v = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.5;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::size_t made = resample(noise, from, to).size();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    f.samples_per_second = static_cast<double>(made) / took.count();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const std::pair<double, double> pairs[] = {{44100, 22050}, {48000, 22050}, {44100, 22051},
                                               {96000, 44100}, {22050, 44100}, {8000, 44100}};
    std::printf("%-14s %-6s %10s %10s %10s %14s\n", "rates", "", "ripple dB", "floor dB", "stopband", "samples/s");
    for (const auto& [from, to] : pairs) {
        const figures a = measure(ours, from, to, seconds);
        const figures b = measure(soxr_hq, from, to, seconds);
        const std::string name = std::to_string(static_cast<long>(from)) + "->" + std::to_string(static_cast<long>(to));
        for (const auto& [who, f] : {std::pair{"nbzhq", a}, std::pair{"soxr", b}}) {
            std::printf("%-14s %-6s %10.6f %10.1f %10.1f %14.0f\n", name.c_str(), who, f.ripple_db, f.floor_db,
                        to < from ? f.stopband_db : 0.0, f.samples_per_second);
        }
        std::printf("%-14s speed nbzhq / soxr = %.3f\n", name.c_str(), a.samples_per_second / b.samples_per_second);
    }
    return 0;
}
