// The resampler: its length, its independence of how the input is cut, the
// signals it must pass, its refusals, and its exact bits as recorded on
// x86-64 Linux, which every other machine must reproduce.

#include "nbz/prepare/resampler.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "hashing.h"
#include "random.h"

namespace nbz::testing {
namespace {

// Integer samples from an LCG and a sawtooth, as a 16-bit file would give.
std::vector<double> test_signal(std::size_t length) {
    std::vector<double> v(length);
    lcg random{12345};
    for (std::size_t n = 0; n < length; ++n) {
        const auto noise = static_cast<std::int32_t>(random.next() >> 20) - 2048;
        const auto saw = static_cast<std::int32_t>((n * 37) % 40000) - 20000;
        v[n] = static_cast<double>(saw + noise * 4) / 32768.0;
    }
    return v;
}

std::vector<double> resample(const std::vector<double>& in, double from, double to, std::size_t chunk) {
    std::vector<double> out;
    nbz::resampler r{from, to, [&](std::span<const double> s) { out.insert(out.end(), s.begin(), s.end()); }};
    for (std::size_t i = 0; i < in.size(); i += chunk) r.put(std::span{in}.subspan(i, std::min(chunk, in.size() - i)));
    r.finish();
    return out;
}

// FNV-1a over the output's bit patterns, byte by byte from the low end.
std::uint64_t bits_hash(const std::vector<double>& values) {
    std::uint64_t h = fnv1a({});
    for (const double v : values) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        std::array<unsigned char, 8> low_first{};
        for (std::size_t i = 0; i < 8; ++i) low_first[i] = static_cast<unsigned char>(bits >> (8 * i));
        h = fnv1a(low_first, h);
    }
    return h;
}

TEST(Resampler, GivesTheBitsRecordedOnX86AndTheSameForAnyChunks) {
    const struct {
        double from, to;
        std::size_t length;
        std::uint64_t hash;
    } cases[] = {
        {44100, 22050, 15000, 0xe4aea2be896c94d7}, {48000, 22050, 13782, 0x8313ed9098b9241b},
        {44100, 22051, 15001, 0x4eba83b6542bd887}, {22050, 44100, 60000, 0xf78d5c67fdd7d92d},
        {96000, 8000, 2500, 0xd6d51daa4606b80e},   {8000, 11025, 41344, 0x0d347308b290b244},
    };
    const auto in = test_signal(30000);
    for (const auto& c : cases) {
        const auto out = resample(in, c.from, c.to, 1000);
        EXPECT_EQ(out.size(), c.length) << c.from << " -> " << c.to;
        EXPECT_EQ(bits_hash(out), c.hash) << c.from << " -> " << c.to << ": " << std::hex << bits_hash(out);
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{4097}, in.size()})
            EXPECT_EQ(resample(in, c.from, c.to, chunk), out) << c.from << " -> " << c.to << " in chunks of " << chunk;
    }
}

TEST(Resampler, GivesCeilOfInputTimesRatioSamples) {
    const struct {
        double from, to;
        std::size_t in, out;
    } cases[] = {
        {44100, 22050, 0, 0},     {44100, 22050, 1, 1}, {44100, 22050, 3, 2}, {48000, 22050, 320, 147},
        {48000, 22050, 321, 148}, {8000, 44100, 1, 6},  {1, 1000, 2, 2000},   {1024000, 1000, 5000, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resample(std::vector<double>(c.in, 0.25), c.from, c.to, 4096).size(), c.out)
            << c.from << " -> " << c.to << " of " << c.in;
}

TEST(Resampler, PassesDirectCurrentAndPassbandTonesAndStopsTonesAboveTheNewNyquist) {
    const struct {
        double from, to, hz, gain;
    } cases[] = {
        {44100, 22050, 0, 1},     {44100, 22050, 10000, 1}, {44100, 22050, 12000, 0}, {48000, 22051, 1000, 1},
        {48000, 22051, 16000, 0}, {22050, 48000, 10000, 1}, {200000, 1000, 400, 1},   {200000, 1000, 600, 0},
    };
    for (const auto& c : cases) {
        std::vector<double> in(static_cast<std::size_t>(c.from));  // a second
        for (std::size_t n = 0; n < in.size(); ++n)
            in[n] = 0.5 * std::cos(2 * std::numbers::pi * c.hz * static_cast<double>(n) / c.from);
        const auto out = resample(in, c.from, c.to, 8192);
        // Away from the edges, the peak of the output against 0.5.
        double peak = 0;
        for (std::size_t n = out.size() / 4; n < out.size() * 3 / 4; ++n) peak = std::max(peak, std::abs(out[n]));
        EXPECT_NEAR(peak / 0.5, c.gain, c.gain == 1 ? 2e-4 : 1e-6) << c.from << " -> " << c.to << " at " << c.hz;
    }
}

TEST(Resampler, RefusesRatesThatAreNotWholeOrTooFarApart) {
    const double cases[][2] = {{0, 22050},
                               {44100, 0},
                               {44100.5, 22050},
                               {-1, 1000},
                               {NAN, 22050},
                               {1024001, 1000},
                               {2147483648.0, 2147483648.0},
                               {22050, 4294967295.0},
                               {4294967296.0, 22050}};
    for (const auto& c : cases)
        EXPECT_THROW(nbz::resampler(c[0], c[1], [](std::span<const double>) {}), nbz::resampler_error)
            << c[0] << " -> " << c[1];
    EXPECT_TRUE(nbz::resampler_takes(2147483647.0, 2147483647.0));  // the largest whole rate in 31 bits
}

}  // namespace
}  // namespace nbz::testing
