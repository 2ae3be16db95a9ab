// nbzhq reading audio containers: where the conversion is exact, the stream
// of the equivalent raw input; cut short, what the file still holds; at
// another rate, resampled; and raw inputs that begin like a container's
// signature stay raw.

#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "in_process.h"
#include "nbzhq_command.h"
#include "signals.h"
#include "sound_files.h"
#include "streams.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// Where the conversion is exact, a container gives the stream and report of
// the equivalent raw input, after one line saying what was read.
struct container_case {
    std::string name;
    int format;
    int channels;
    std::string input_line;
    std::size_t frames = 5003;
    std::vector<std::string> options = {};
};
void PrintTo(const container_case& c, std::ostream* os) { *os << c.name; }

class Containers : public ::testing::TestWithParam<container_case> {};

// Writes the case's container of noise at 44100 Hz and returns the samples
// it holds.
std::vector<std::int16_t> write_case(const container_case& c, const std::string& path) {
    std::vector<std::int16_t> samples = make_signal(signal::noise, c.frames, 12);
    std::vector<std::int32_t> frames;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        // Channels that differ and average to the sample.
        const std::int32_t spread = c.channels == 2 ? static_cast<std::int32_t>(i % 100) * 65536 : 0;
        frames.push_back(samples[i] * 65536 + spread);
        if (c.channels == 2) frames.push_back(samples[i] * 65536 - spread);
    }
    EXPECT_TRUE(write_sound(path, c.format, 44100, c.channels, frames)) << c.name;
    return samples;
}

TEST_P(Containers, GiveTheStreamOfTheEquivalentRawInput) {
    const container_case& c = GetParam();
    temp_dir dir;
    const std::vector<std::int16_t> samples = write_case(c, dir / "in.snd");
    write_file(dir / "in.raw", pcm_bytes(samples));
    const run_result raw = run_in_process(cli::run_nbzhq, {dir / "in.raw", dir / "raw.nbz"});
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {dir / "in.snd", dir / "snd.nbz"});
    const run_result sound = run_in_process(cli::run_nbzhq, args);
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.out, c.input_line + raw.out);
    EXPECT_EQ(read_file(dir / "snd.nbz"), read_file(dir / "raw.nbz"));
}

// Cut short (a download or copy that stopped), a container gives the stream
// of the samples it still holds, and the report says that it ends early.
TEST_P(Containers, CutShortGiveWhatTheyHoldAndSaySo) {
    const container_case& c = GetParam();
    temp_dir dir;
    const std::vector<std::int16_t> samples = write_case(c, dir / "in.snd");
    bytes file = read_file(dir / "in.snd");
    file.resize(file.size() * 9 / 10);
    write_file(dir / "cut.snd", file);
    const run_result sound = run_in_process(cli::run_nbzhq, {dir / "cut.snd", dir / "snd.nbz"});
    if (c.frames == 1) {  // cut inside the header
        EXPECT_EQ(sound.status, 1);
        EXPECT_EQ(sound.out, "Couldn't decode input file.\n");
        return;
    }
    const std::string whole = std::to_string(c.frames) + " samples encoded\n";
    const std::string prefix = c.input_line.substr(0, c.input_line.size() - whole.size());
    ASSERT_EQ(sound.out.rfind(prefix, 0), 0U) << sound.out;
    const std::size_t count = std::stoul(sound.out.substr(prefix.size()));
    EXPECT_GT(count, c.frames * 8 / 10);
    EXPECT_LT(count, c.frames);
    write_file(dir / "in.raw", pcm_bytes(std::span{samples}.first(count)));
    const run_result raw = run_in_process(cli::run_nbzhq, {dir / "in.raw", dir / "raw.nbz"});
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.out, prefix + std::to_string(count) + " samples encoded (the file ends early)\n" + raw.out);
    EXPECT_EQ(read_file(dir / "snd.nbz"), read_file(dir / "raw.nbz"));
}

INSTANTIATE_TEST_SUITE_P(
    Exact, Containers,
    ::testing::Values(container_case{"wav_stereo_24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2,
                                     "Input: WAV, 44100 Hz, 2 channels, 24-bit PCM, mixed to mono, 5003 samples "
                                     "encoded\n"},
                      container_case{"wav_float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1,
                                     "Input: WAV, 44100 Hz, 1 channel, 32-bit float, 5003 samples encoded\n"},
                      container_case{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1,
                                     "Input: FLAC, 44100 Hz, 1 channel, 16-bit PCM, 5003 samples encoded\n"},
                      container_case{"aiff_stereo", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2,
                                     "Input: AIFF, 44100 Hz, 2 channels, 16-bit PCM, mixed to mono, 5003 samples "
                                     "encoded\n"},
                      container_case{"wave64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 1,
                                     "Input: Wave64, 44100 Hz, 1 channel, 16-bit PCM, 5003 samples encoded\n"},
                      container_case{"rifx", SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, 1,
                                     "Input: WAV, 44100 Hz, 1 channel, 16-bit PCM, 5003 samples encoded\n"},
                      container_case{"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 1,
                                     "Input: RF64, 44100 Hz, 1 channel, 16-bit PCM, 5003 samples encoded\n"},
                      container_case{"caf_stereo_24", SF_FORMAT_CAF | SF_FORMAT_PCM_24, 2,
                                     "Input: CAF, 44100 Hz, 2 channels, 24-bit PCM, mixed to mono, 5003 samples "
                                     "encoded\n"},
                      container_case{"one_sample", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1,
                                     "Input: WAV, 44100 Hz, 1 channel, 16-bit PCM, 1 sample encoded\n", 1},
                      // Its own rate: nothing to resample.
                      container_case{"rate_of_its_own",
                                     SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                     1,
                                     "Input: WAV, 44100 Hz, 1 channel, 16-bit PCM, 5003 samples encoded\n",
                                     5003,
                                     {"-r", "44100"}}),
    [](const auto& info) { return info.param.name; });

// The dominant frequency by counting upward zero crossings.
double tone_frequency(std::span<const std::int16_t> samples, double rate) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return crossings * rate / static_cast<double>(samples.size());
}

TEST(Resampling, GivesTheExpectedLengthAndKeepsATonesFrequency) {
    const struct { int from, to; } cases[] = {{48000, 22050}, {16000, 44100}};
    for (const auto& c : cases) {
        temp_dir dir;
        std::vector<std::int32_t> tone;
        tone.reserve(static_cast<std::size_t>(c.from));
        for (int i = 0; i < c.from; ++i)  // one second of 440 Hz
            tone.push_back(static_cast<std::int32_t>(1e9 * std::sin(2 * M_PI * 440 * i / c.from)));
        ASSERT_TRUE(write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, c.from, 1, tone));
        const run_result r =
            run_in_process(cli::run_nbzhq, {"-r", std::to_string(c.to), dir / "in.wav", dir / "out.nbz"});
        const std::string where = std::to_string(c.from) + " -> " + std::to_string(c.to);
        EXPECT_EQ(r.status, 0) << where;
        EXPECT_NE(r.out.find(", resampled to " + std::to_string(c.to) + " Hz, " + std::to_string(c.to) +
                             " samples encoded\n"),
                  std::string::npos)
            << where << ": " << r.out;
        encoder_state state = initial_state();
        const std::vector<std::int16_t> decoded =
            saturated(decode_all(stream_words(read_file(dir / "out.nbz")), state));
        EXPECT_EQ(decoded.size(), (c.to + 7) / 8 * 8) << where;
        EXPECT_NEAR(tone_frequency(decoded, c.to), 440, 2) << where;
    }
}

TEST(Detection, RawInputsImitatingWeakSignaturesStayRaw) {
    const std::vector<std::string> heads = {
        std::string{"\xff\xfb\x90\x64", 4},           // an MP3 frame header: the samples -1025, 25744
        std::string{".snd\0\0\0\x18\0\0\0\x40", 12},  // Sun/NeXT
        std::string{"FORM\0\0\0\x10"
                    "8SVX",
                    12},  // Amiga
        std::string{"NIST_1A\n   1024\n", 16},
        std::string{"ID3\x03\0\0\0\0\x81\0", 10},
        std::string{"fLaC\x12\x34", 6},
    };
    for (const std::string& head : heads) {
        bytes input(head.begin(), head.end());
        const bytes rest = pcm_bytes(make_signal(signal::noise, 500, 9));
        input.insert(input.end(), rest.begin(), rest.end());
        std::vector<std::int16_t> samples;
        for (std::size_t i = 0; i + 1 < input.size(); i += 2)
            samples.push_back(static_cast<std::int16_t>(input[i] | input[i + 1] << 8));
        temp_dir dir;
        write_file(dir / "in", input);
        const run_result r = run_in_process(cli::run_nbzhq, {dir / "in", dir / "out.nbz"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Maximum output level: ", 0), 0U) << r.out;  // the raw report alone
        EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(search_all(samples))) << head;
    }
}

}  // namespace
}  // namespace nbz::testing
