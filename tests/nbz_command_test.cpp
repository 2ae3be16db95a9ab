// The built nbz binary, run on temporary files.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "reference_model.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

const std::string nbz_binary = NBZ_BINARY;

// The samples through `f`, saturated to 16 bits.
std::vector<std::int16_t> scaled(const std::vector<std::int16_t>& samples, const std::function<double(int)>& f) {
    std::vector<std::int16_t> out;
    out.reserve(samples.size());
    for (const std::int16_t s : samples) out.push_back(static_cast<std::int16_t>(std::clamp(f(s), -32768.0, 32767.0)));
    return out;
}

const std::vector<std::int16_t> ramp = {1000, -1000, 4000, -4000, 32767, -32768, 7, -7, 0, 123};

struct encode_case {
    std::string name;
    bytes input;
    std::vector<std::string> gain;           // the optional third argument
    std::vector<std::int16_t> as_samples;    // what the stream must encode
    std::optional<std::string> report = {};  // when given literally; else from the reference
};
void PrintTo(const encode_case& c, std::ostream* os) { *os << c.name; }

class NbzEncodes : public ::testing::TestWithParam<encode_case> {};

TEST_P(NbzEncodes, WritesTheStreamAndReport) {
    const encode_case& c = GetParam();
    temp_dir dir;
    write_file(dir / "in.raw", c.input);
    std::vector<std::string> args = {dir / "in.raw", dir / "out.nbz"};
    args.insert(args.end(), c.gain.begin(), c.gain.end());
    const process_result run = run_process(nbz_binary, args);
    const reference_run expected = reference_encode(c.as_samples);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.report.value_or(expected_report(expected.state.peak)));
    EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(expected.words));
    EXPECT_EQ(read_file(dir / "in.raw"), c.input);
}

bytes with_odd_byte(bytes b) {
    b.push_back(0x7F);
    return b;
}

const std::vector<std::int16_t> squares = [] {
    std::vector<std::int16_t> s(8, 32767);
    s.insert(s.end(), 8, -32768);
    s.insert(s.end(), 8, 32767);
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Inputs, NbzEncodes,
    ::testing::Values(
        encode_case{"empty", {}, {}, {}, "Maximum output level: 0\n"},
        encode_case{"one_byte", {0x55}, {}, {}, "Maximum output level: 0\n"},
        encode_case{"seventeen_bytes",
                    with_odd_byte(pcm_bytes(std::vector<std::int16_t>(8, 3000))),
                    {},
                    std::vector<std::int16_t>(8, 3000)},
        encode_case{
            "nine_samples", pcm_bytes(std::vector<std::int16_t>(9, -3000)), {}, std::vector<std::int16_t>(9, -3000)},
        encode_case{"overflow", pcm_bytes(squares), {}, squares, "Maximum output level: 38428 (overflow by 5661)\n"},
        encode_case{"minus_6_dB",
                    pcm_bytes(ramp),
                    {"-6"},
                    scaled(ramp, [](int s) { return std::trunc(s * std::pow(10.0, -0.3)); })},
        encode_case{"plus_20_dB_saturates", pcm_bytes(ramp), {"20"}, scaled(ramp, [](int s) { return s * 10.0; })},
        encode_case{"comma_ends_the_number",
                    pcm_bytes(ramp),
                    {"1,5"},
                    scaled(ramp, [](int s) { return std::trunc(s * std::pow(10.0, 0.05)); })},
        encode_case{"text_is_0_dB", pcm_bytes(ramp), {"loud"}, ramp},
        encode_case{"typographic_minus_is_0_dB",
                    pcm_bytes(ramp),
                    {"\xE2\x88\x92"
                     "6"},
                    ramp},
        encode_case{"inf_saturates",
                    pcm_bytes(ramp),
                    {"inf"},
                    scaled(ramp, [](int s) { return s > 0   ? 32767.0
                                                    : s < 0 ? -32768.0
                                                            : 0.0; })},
        encode_case{"nan_silences", pcm_bytes(ramp), {"nan"}, std::vector<std::int16_t>(ramp.size(), 0)}),
    [](const auto& info) { return info.param.name; });

TEST(NbzCommand, HyphenArgumentsAreTakenLiterally) {
    temp_dir dir;
    write_file(dir / "-", pcm_bytes(ramp));
    const process_result run = run_process(nbz_binary, {"-", "--", "-6"}, dir.path().string());
    EXPECT_EQ(run.status, 0);
    const reference_run expected =
        reference_encode(scaled(ramp, [](int s) { return std::trunc(s * std::pow(10.0, -0.3)); }));
    EXPECT_EQ(read_file(dir / "--"), word_bytes(expected.words));
}

TEST(NbzCommand, ExistingOutputIsReplacedWhole) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(ramp));
    write_file(dir / "out.nbz", bytes(1000, 0xAA));
    EXPECT_EQ(run_process(nbz_binary, {dir / "in.raw", dir / "out.nbz"}).status, 0);
    EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(reference_encode(ramp).words));
}

}  // namespace
}  // namespace nbz::testing
