// nbzhq reading audio containers and nbzdec writing them, the options of
// both, and the raw inputs that the detection keeps raw.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"
#include "nbz/cli/progress.h"
#include "nbz/decoder.h"
#include "nbz/search_encoder.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "process.h"
#include "sound_files.h"
#include "temp_files.h"
#include "test_support.h"

namespace nbz::testing {
namespace {

struct run_result {
    int status;
    std::string out;
};

run_result run(int (*command)(cli::arguments, std::ostream&), const std::vector<std::string>& args) {
    std::ostringstream out;
    const int status = command(args, out);
    return {status, out.str()};
}

std::vector<std::int16_t> decode_stream(const bytes& stream) {
    encoder_state state;
    encoder_init(state);
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i + 4 <= stream.size(); i += 4) {
        const auto word = static_cast<std::uint32_t>(stream[i] | stream[i + 1] << 8 | stream[i + 2] << 16 |
                                                     static_cast<std::uint32_t>(stream[i + 3]) << 24);
        std::array<std::int32_t, 8> block{};
        decode_block(state, word, block);
        for (const std::int32_t v : block) samples.push_back(static_cast<std::int16_t>(std::clamp(v, -32768, 32767)));
    }
    return samples;
}

// The stream nbzhq writes for raw samples.
bytes search_stream(std::span<const std::int16_t> samples, int width = search_default_width) {
    const search_encoder_ptr search = search_create(width);
    std::vector<std::uint32_t> stream;
    std::array<std::uint32_t, search_max_words> words{};
    for (std::size_t b = 0; b < samples.size(); b += 8) {
        std::array<std::int16_t, 8> block{};
        const std::size_t counted = std::min<std::size_t>(8, samples.size() - b);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b), counted, block.begin());
        const std::size_t n = search_encode_block(*search, block, words);
        stream.insert(stream.end(), words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::size_t n = search_finish(*search, words);
    stream.insert(stream.end(), words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n));
    return word_bytes(stream);
}

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

TEST_P(Containers, GiveTheStreamOfTheEquivalentRawInput) {
    const container_case& c = GetParam();
    const std::vector<std::int16_t> samples = make_signal(signal::noise, c.frames, 12);
    std::vector<std::int32_t> frames;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        // Channels that differ and average to the sample.
        const std::int32_t spread = c.channels == 2 ? static_cast<std::int32_t>(i % 100) * 65536 : 0;
        frames.push_back(samples[i] * 65536 + spread);
        if (c.channels == 2) frames.push_back(samples[i] * 65536 - spread);
    }
    temp_dir dir;
    ASSERT_TRUE(write_sound(dir / "in.snd", c.format, 44100, c.channels, frames));
    write_file(dir / "in.raw", pcm_bytes(samples));
    const run_result raw = run(cli::run_nbzhq, {dir / "in.raw", dir / "raw.nbz"});
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {dir / "in.snd", dir / "snd.nbz"});
    const run_result sound = run(cli::run_nbzhq, args);
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.out, c.input_line + raw.out);
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
        const run_result r = run(cli::run_nbzhq, {"-r", std::to_string(c.to), dir / "in.wav", dir / "out.nbz"});
        const std::string where = std::to_string(c.from) + " -> " + std::to_string(c.to);
        EXPECT_EQ(r.status, 0) << where;
        EXPECT_NE(r.out.find(", resampled to " + std::to_string(c.to) + " Hz, " + std::to_string(c.to) +
                             " samples encoded\n"),
                  std::string::npos)
            << where << ": " << r.out;
        const std::vector<std::int16_t> decoded = decode_stream(read_file(dir / "out.nbz"));
        EXPECT_EQ(decoded.size(), (c.to + 7) / 8 * 8) << where;
        EXPECT_NEAR(tone_frequency(decoded, c.to), 440, 2) << where;
    }
}

TEST(NbzdecContainers, RoundTripThroughTheLibraryAtTheGivenRate) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(make_signal(signal::sine, 3001, 40)));
    ASSERT_EQ(run(cli::run_nbzhq, {dir / "in.raw", dir / "in.nbz"}).status, 0);
    const run_result raw = run(cli::run_nbzdec, {dir / "in.nbz", dir / "out.raw"});
    const bytes expected = read_file(dir / "out.raw");
    for (const std::string name : {"out.wav", "out.FLAC", "out.Aif", "out.aiff"}) {
        const run_result r = run(cli::run_nbzdec, {"--rate=11025", dir / "in.nbz", dir / name});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, raw.out) << name;
        const sound s = read_sound(dir / name);
        EXPECT_EQ(s.info.samplerate, 11025) << name;
        EXPECT_EQ(s.info.channels, 1) << name;
        EXPECT_EQ(pcm_bytes(s.samples), expected) << name;
    }
}

TEST(Options, AreReadBeforeThePositionalArgumentsOnly) {
    const struct {
        std::vector<std::string> args;
        bool width_allowed;
        std::vector<std::string> positionals;
        long rate;  // 0: none
        int width;  // 0: none
        std::string error;
    } cases[] = {
        {{"-r", "22050", "-w", "3", "a", "b"}, true, {"a", "b"}, 22050, 3, ""},
        {{"--rate=8000", "--width", "64", "a", "b", "-6"}, true, {"a", "b", "-6"}, 8000, 64, ""},
        {{"a", "-r", "8000", "b"}, true, {"a", "-r", "8000", "b"}, 0, 0, ""},
        {{"--", "-r", "b"}, true, {"-r", "b"}, 0, 0, ""},
        {{"-", "b", "-6"}, true, {"-", "b", "-6"}, 0, 0, ""},
        {{"-x", "a", "b"}, true, {}, 0, 0, "Unknown option: -x (see --help)."},
        {{"-w", "2", "a", "b"}, false, {}, 0, 0, "Unknown option: -w (see --help)."},
        {{"-w", "65", "a", "b"}, true, {}, 0, 0, "Option -w needs a search width from 1 to 64."},
        {{"--rate=12k", "a", "b"}, true, {}, 0, 0, "Option --rate needs a sample rate from 1000 to 768000 Hz."},
        {{"-r"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-r22050", "-w32", "a", "b"}, true, {"a", "b"}, 22050, 32, ""},
        {{"-r1000", "-w", "1", "a"}, true, {"a"}, 1000, 1, ""},
        {{"-r", "768000", "a"}, true, {"a"}, 768000, 0, ""},
        {{"-r999", "a"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-r", "768001", "a"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-w0", "a"}, true, {}, 0, 0, "Option -w needs a search width from 1 to 64."},
        {{"-w3", "a"}, false, {}, 0, 0, "Unknown option: -w3 (see --help)."},
        {{"-hr", "a"}, true, {}, 0, 0, "Unknown option: -hr (see --help)."},
        {{"--help=1", "a", "b"}, true, {}, 0, 0, "Unknown option: --help=1 (see --help)."},
        {{"--version=1", "a", "b"}, false, {}, 0, 0, "Unknown option: --version=1 (see --help)."},
    };
    for (const auto& c : cases) {
        const std::string where = ::testing::PrintToString(c.args);
        cli::command_options o;
        try {
            o = cli::parse_options(c.args, {.width = c.width_allowed});
        } catch (const cli::failure& f) {
            EXPECT_EQ(cli::messages::failure_text(f), c.error) << where;
            continue;
        }
        EXPECT_EQ(c.error, "") << where;
        EXPECT_EQ(o.positionals, c.positionals) << where;
        EXPECT_EQ(o.rate_hz.value_or(0), c.rate) << where;
        EXPECT_EQ(o.width.value_or(0), c.width) << where;
    }
}

TEST(Refusals, GiveOneLineAndCreateNothing) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(make_signal(signal::noise, 800, 3)));
    write_file(dir / "in.nbz", bytes(64, 0x11));
    write_file(dir / "bad.wav", {'R', 'I', 'F', 'F', 0x10, 0, 0, 0, 'W', 'A', 'V', 'E', 'j', 'u', 'n', 'k'});
    ASSERT_TRUE(write_sound(dir / "header.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, {1, 2, 3, 4}));
    std::filesystem::resize_file(dir / "header.wav", 44);  // promises 4 samples, holds none
    const struct {
        int (*command)(cli::arguments, std::ostream&);
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {cli::run_nbzhq,
         {"-r", "8000", dir / "in.raw", dir / "out"},
         "A raw input has no sample rate to convert from: -r needs a WAV, FLAC, AIFF, Ogg or MP3 input.\n"},
        {cli::run_nbzhq, {dir / "bad.wav", dir / "out"}, "Couldn't decode input file.\n"},
        {cli::run_nbzhq, {dir / "header.wav", dir / "out"}, "Couldn't decode input file.\n"},
        {cli::run_nbzdec,
         {dir / "in.nbz", dir / "out.WAV"},
         "Give the sample rate with -r HZ: the stream does not store it, and a WAV, FLAC or AIFF output needs it.\n"},
        {cli::run_nbzdec,
         {"-r", "8000", dir / "in.nbz", dir / "out"},
         "A raw output has no sample rate: -r needs an output named .wav, .flac, .aif or .aiff.\n"},
        {cli::run_nbzdec, {"-w", "3", dir / "in.nbz", dir / "out"}, "Unknown option: -w (see --help).\n"},
        {cli::run_nbzhq, {"-w", "0", dir / "in.raw", dir / "out"}, "Option -w needs a search width from 1 to 64.\n"},
    };
    for (const auto& c : cases) {
        const run_result r = run(c.command, c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.out, c.message);
        EXPECT_FALSE(std::filesystem::exists(dir / "out") || std::filesystem::exists(dir / "out.WAV")) << c.message;
    }
}

// A file cut short (a download or copy that stopped) is encoded as far as it
// decodes, whatever its header promised, and the report says so.
TEST(Refusals, FilesCutShortAreEncodedAsFarAsTheyDecode) {
    const std::vector<std::int16_t> samples = make_signal(signal::noise, 40000, 5);
    std::vector<std::int32_t> frames(samples.begin(), samples.end());
    for (auto& f : frames) f *= 65536;
    const struct {
        std::string name;
        int format;
        std::string input_line;  // up to the count
        bool exact;              // the stream is that of the raw samples decoded
    } cases[] = {
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "Input: WAV, 8000 Hz, 1 channel, 16-bit PCM, ", true},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, "Input: AIFF, 8000 Hz, 1 channel, 24-bit PCM, ", true},
        {"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "Input: FLAC, 8000 Hz, 1 channel, 16-bit PCM, ", true},
        {"cut.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Input: Ogg Vorbis, 8000 Hz, 1 channel, compressed, ", false},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        ASSERT_TRUE(write_sound(dir / "full", c.format, 8000, 1, frames)) << c.name;
        bytes file = read_file(dir / "full");
        file.resize(file.size() * 6 / 10);
        write_file(dir / c.name, file);
        const run_result r = run(cli::run_nbzhq, {"-w", "1", dir / c.name, dir / "out.nbz"});
        EXPECT_EQ(r.status, 0) << c.name;
        ASSERT_EQ(r.out.rfind(c.input_line, 0), 0U) << r.out;
        const std::size_t count = std::stoul(r.out.substr(c.input_line.size()));
        const std::string rest = " samples encoded (the file ends early)\n";
        EXPECT_EQ(r.out.substr(r.out.find(' ', c.input_line.size()), rest.size()), rest) << r.out;
        EXPECT_GT(count, 0U) << c.name;
        EXPECT_LT(count, samples.size() * 7 / 10) << c.name;
        if (c.exact) {
            EXPECT_EQ(read_file(dir / "out.nbz"), search_stream(std::span{samples}.first(count), 1)) << c.name;
        }
    }
}

#ifndef _WIN32  // joins standard error to output through POSIX
// An MP3 as encoders write it: an ID3 tag, no frame count of its own, so that
// the library's estimate, made from the file's size, promises too much. A
// damaged one still encodes what decodes, and its decoder's complaints stay
// off standard error, also when descriptors run short: the run may then
// fail, with its one line.
TEST(Refusals, Mp3WithAnId3TagIsEncodedToItsEnd) {
    temp_dir dir;
    std::vector<std::int32_t> tone(44100);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int32_t>(1e9 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44100));
    ASSERT_TRUE(write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, tone));
    const std::string lame = "lame --quiet -t --cbr -b 64 --add-id3v2 --pad-id3v2-size 2000 --tt nbz '" +
                             std::string{dir / "in.wav"} + "' '" + std::string{dir / "in.mp3"} + "' 2> /dev/null";
    if (std::system(lame.c_str()) != 0) {
        // The library's own writer, behind a tag of 2000 bytes of padding.
        if (!write_sound(dir / "plain.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, tone))
            GTEST_SKIP() << "neither lame nor libsndfile's MPEG writer is available";
        bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0x0F, 0x50};
        tagged.resize(10 + 2000);
        const bytes plain = read_file(dir / "plain.mp3");
        tagged.insert(tagged.end(), plain.begin(), plain.end());
        write_file(dir / "in.mp3", tagged);
    }
    bytes damaged = read_file(dir / "in.mp3");
    for (std::size_t i = damaged.size() / 3; i < damaged.size() / 2; ++i)
        damaged[i] = static_cast<unsigned char>(i * 7919 >> 5);
    write_file(dir / "damaged.mp3", damaged);
    // The sanitizers' runtime needs descriptors of its own.
#ifndef __SANITIZE_ADDRESS__
    for (const rlim_t limit : {4, 5, 6, 7, 8}) {
        const process_result r = run_process(NBZHQ_BINARY, {"-w", "1", dir / "damaged.mp3", dir / "out.nbz"}, {}, [=] {
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            const rlimit descriptors{limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &descriptors);
        });
        const auto lines = std::count(r.out.begin(), r.out.end(), '\n');
        EXPECT_EQ(lines, r.status == 0 ? 3 : 1) << limit << " descriptors: " << r.out;
    }
#endif
    const auto joined_error = [] { ::dup2(STDOUT_FILENO, STDERR_FILENO); };
    for (const std::string name : {"in.mp3", "damaged.mp3"}) {
        const process_result r = run_process(NBZHQ_BINARY, {"-w", "1", dir / name, dir / "out.nbz"}, {}, joined_error);
        EXPECT_EQ(r.status, 0) << name;
        const std::string prefix = "Input: MP3, 44100 Hz, 1 channel, compressed, ";
        ASSERT_EQ(r.out.rfind(prefix, 0), 0U) << r.out;
        const std::size_t count = std::stoul(r.out.substr(prefix.size()));
        const std::size_t lines = static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
        EXPECT_EQ(lines, 3U) << r.out;  // nothing from the decoder
        if (name == "in.mp3") {
            EXPECT_NEAR(static_cast<double>(count), 44100, 2 * 1152) << r.out;
            EXPECT_EQ(r.out.find("ends early"), std::string::npos) << r.out;
        }
    }
}
#endif

TEST(Progress, IsRedrawnInPlaceAtMostFourTimesASecondAndClearedAtTheEnd) {
    std::ostringstream terminal;
    {
        cli::progress_meter meter{&terminal};
        meter.update(10, 100);  // too soon after the start
        EXPECT_EQ(terminal.str(), "");
        std::this_thread::sleep_for(std::chrono::milliseconds{300});
        meter.update(50, 100);
        meter.update(60, 100);  // too soon after the last
        EXPECT_EQ(terminal.str().rfind(" 50%"), terminal.str().size() - 4) << terminal.str();
    }
    const std::string shown = terminal.str();
    EXPECT_EQ(shown.front(), '\r');
    EXPECT_EQ(shown.substr(shown.rfind(" 50%") + 4), "\r" + std::string(40, ' ') + "\r");
    std::ostringstream unused;
    { cli::progress_meter idle{&unused}; }
    EXPECT_EQ(unused.str(), "");  // nothing drawn, nothing to clear
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
        const run_result r = run(cli::run_nbzhq, {dir / "in", dir / "out.nbz"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Maximum output level: ", 0), 0U) << r.out;  // the raw report alone
        EXPECT_EQ(read_file(dir / "out.nbz"), search_stream(samples)) << head;
    }
}

}  // namespace
}  // namespace nbz::testing
