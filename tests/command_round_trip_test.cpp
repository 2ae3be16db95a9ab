// The built commands on one another's streams: nbzdec replays what nbz and
// nbzhq wrote, with the report line the encoder printed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "reference_model.h"
#include "signals.h"
#include "streams.h"
#include "synth.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// The binaries: nbzdec on what nbz wrote gives the reconstruction, saturated
// to 16 bits, and exactly the report line that nbz printed.
TEST(Nbzdec, RoundTripsWhatNbzWrote) {
    std::vector<std::vector<std::int16_t>> inputs = {{}, {5}, std::vector<std::int16_t>(8, -32768)};
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        inputs.push_back(make_signal(signal::square, std::size_t{3001} * seed, seed));  // overflows
        inputs.push_back(make_signal(signal::sine, std::size_t{4003} * seed, seed));
        inputs.push_back(make_signal(signal::bursts, 70001, seed));  // crosses a chunk boundary
    }
    for (const auto& samples : inputs) {
        temp_dir dir;
        write_file(dir / "in.raw", pcm_bytes(samples));
        const process_result encoded = run_process(NBZ_BINARY, {dir / "in.raw", dir / "s.nbz"});
        const process_result decoded = run_process(NBZDEC_BINARY, {dir / "s.nbz", dir / "out.raw"});
        const reference_run expected = reference_encode(samples);
        ASSERT_EQ(encoded.status, 0);
        ASSERT_EQ(decoded.status, 0);
        EXPECT_EQ(decoded.out, encoded.out) << samples.size() << " samples";
        EXPECT_EQ(decoded.out, expected_report(expected.state.peak));
        EXPECT_EQ(read_file(dir / "out.raw"), pcm_bytes(saturated(expected.outputs))) << samples.size() << " samples";
    }
}

TEST(Nbzdec, RefusesAPartialCodeWordBeforeOpeningTheOutput) {
    // An earlier output stays as it was, and an output that cannot be opened
    // would change the message if it were opened first.
    const bytes earlier(6, 0x34);
    for (const std::size_t size : {1, 2, 3, 5, 4099}) {
        for (const char* output : {"out.raw", "missing/out.raw"}) {
            temp_dir dir;
            write_file(dir / "in.nbz", bytes(size, 0x12));
            write_file(dir / "out.raw", earlier);
            const process_result run = run_process(NBZDEC_BINARY, {dir / "in.nbz", dir / output});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "Input is not a whole number of code words.\n") << output;
            EXPECT_EQ(read_file(dir / "out.raw"), earlier);
        }
    }
}

TEST(Nbzhq, ReportsTheStreamsLevelAndItsSignalToNoiseRatio) {
    const struct {
        std::size_t length;
        std::vector<std::string> gain;
    } cases[] = {{30000, {}}, {30000, {"6"}}, {30000, {"-3"}}, {30005, {}}};
    for (const auto& [length, gain] : cases) {
        temp_dir dir;
        auto samples = synth::generate("speech", length, 2);
        // Ending loud, a last block that is partly padding reconstructs the
        // padding far from silence: that error is not the input's.
        std::fill(samples.end() - static_cast<std::ptrdiff_t>(length % 8), samples.end(), std::int16_t{30000});
        write_file(dir / "in.raw", pcm_bytes(samples));
        std::vector<std::string> args = {dir / "in.raw", dir / "hq.nbz"};
        args.insert(args.end(), gain.begin(), gain.end());
        const process_result encoded = run_process(NBZHQ_BINARY, args);
        const process_result decoded = run_process(NBZDEC_BINARY, {dir / "hq.nbz", dir / "out.raw"});
        ASSERT_EQ(encoded.status, 0);
        ASSERT_EQ(decoded.status, 0);
        const auto newline = encoded.out.find('\n');
        EXPECT_EQ(encoded.out.substr(0, newline + 1), decoded.out);
        // The ratio is against the gained input, over its own samples.
        const double g = gain.empty() ? 1.0 : std::pow(10.0, std::atof(gain[0].c_str()) / 20.0);
        double signal = 0;
        double noise = 0;
        const bytes out = read_file(dir / "out.raw");
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double x = std::clamp(std::trunc(samples[i] * g), -32768.0, 32767.0);
            const auto y = static_cast<std::int16_t>(out[2 * i] | out[2 * i + 1] << 8);
            signal += x * x;
            noise += (y - x) * (y - x);
        }
        char expected[64];
        std::snprintf(expected, sizeof expected, "Signal-to-noise ratio: %.2f dB\n", 10 * std::log10(signal / noise));
        EXPECT_EQ(encoded.out.substr(newline + 1), expected) << length << " samples";
    }
}

TEST(Nbzhq, EmptyAndSilentInputsAreExact) {
    temp_dir dir;
    for (const std::size_t size : {0, 1, 16, 4001}) {
        write_file(dir / "in.raw", bytes(size, 0));
        const process_result run = run_process(NBZHQ_BINARY, {dir / "in.raw", dir / "out.nbz"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "Maximum output level: 0\nSignal-to-noise ratio: inf dB\n");
        EXPECT_EQ(std::filesystem::file_size(dir / "out.nbz"), (size / 2 + 7) / 8 * 4);
    }
}

}  // namespace
}  // namespace nbz::testing
