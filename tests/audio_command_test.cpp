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

#include "in_process.h"
#include "nbz/audio/writer.h"
#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"
#include "nbz/cli/progress.h"
#include "nbz/decoder.h"
#include "nbz/search_encoder.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "process.h"
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

TEST(NbzdecContainers, RoundTripThroughTheLibraryAtTheGivenRate) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(make_signal(signal::sine, 3001, 40)));
    ASSERT_EQ(run_in_process(cli::run_nbzhq, {dir / "in.raw", dir / "in.nbz"}).status, 0);
    const run_result raw = run_in_process(cli::run_nbzdec, {dir / "in.nbz", dir / "out.raw"});
    const bytes expected = read_file(dir / "out.raw");
    for (const std::string name : {"out.wav", "out.FLAC", "out.Aif", "out.aiff"}) {
        const run_result r = run_in_process(cli::run_nbzdec, {"--rate=11025", dir / "in.nbz", dir / name});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, raw.out) << name;
        const sound s = read_sound(dir / name);
        EXPECT_EQ(s.info.samplerate, 11025) << name;
        EXPECT_EQ(s.info.channels, 1) << name;
        EXPECT_EQ(pcm_bytes(s.samples), expected) << name;
    }
}

// Keeps the first bytes written and counts the rest, so that a header
// beyond 4 GiB is seen without writing 4 GiB.
class counting_sink final : public audio::byte_sink {
public:
    void write(std::span<const std::byte> bytes) override {
        for (std::size_t i = 0; i < bytes.size() && position_ + i < head.size(); ++i)
            head[static_cast<std::size_t>(position_ + i)] = std::to_integer<unsigned char>(bytes[i]);
        position_ += bytes.size();
        length = std::max(length, position_);
    }
    void seek(std::uint64_t position) override { position_ = position; }

    std::array<unsigned char, 96> head{};
    std::uint64_t length = 0;

private:
    std::uint64_t position_ = 0;
};

// Writes `samples` silent samples in large pieces, and `extra` more than the
// writer was told of; false if the writer refuses.
bool write_silence(counting_sink& sink, audio::sound_container container, std::uint64_t samples,
                   std::uint64_t extra = 0) {
    try {
        audio::sound_writer writer{sink, container, 8000, samples};
        const std::vector<std::int16_t> silence(std::size_t{1} << 22);
        for (std::uint64_t done = 0; done < samples + extra;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(silence.size(), samples + extra - done));
            writer.write(std::span{silence}.first(n));
            done += n;
        }
        writer.finish();
        return true;
    } catch (const audio::audio_error& error) {
        EXPECT_EQ(error.code, audio::audio_errc::unwritable);
        return false;
    }
}

std::uint64_t field(const std::array<unsigned char, 96>& head, std::size_t at, int bytes, bool big_endian) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | head[at + static_cast<std::size_t>(big_endian ? i : bytes - 1 - i)];
    return v;
}

// At 4 GiB a WAV becomes RF64 and an AIFF is refused, so that no header's
// size wraps. (An AIFF is byte-swapped, so its 4 GiB would be slow: its
// header's length, at a small size, pins its limit.)
TEST(NbzdecContainers, HeadersAtTheSizeBoundaryDoNotWrap) {
    using audio::sound_container;
    const std::uint64_t wav = audio::max_wav_samples;
    const std::uint64_t aiff = audio::max_aiff_samples;
    constexpr std::uint64_t max_size = 0xFFFFFFFF;

    counting_sink riff;
    ASSERT_TRUE(write_silence(riff, sound_container::wav, wav));
    EXPECT_EQ(std::string(riff.head.begin(), riff.head.begin() + 4), "RIFF");
    EXPECT_EQ(riff.length, 44 + 2 * wav);
    EXPECT_EQ(field(riff.head, 4, 4, false), riff.length - 8);
    EXPECT_EQ(field(riff.head, 40, 4, false), 2 * wav);
    EXPECT_GT(riff.length + 2 - 8, max_size);  // one more sample would wrap

    counting_sink rf64;
    ASSERT_TRUE(write_silence(rf64, sound_container::wav, wav + 1));
    EXPECT_EQ(std::string(rf64.head.begin(), rf64.head.begin() + 16), std::string("RF64\xff\xff\xff\xffWAVEds64"));
    EXPECT_EQ(field(rf64.head, 20, 8, false), rf64.length - 8);
    EXPECT_EQ(field(rf64.head, 28, 8, false), 2 * (wav + 1));
    EXPECT_EQ(field(rf64.head, 36, 8, false), wav + 1);

    counting_sink beyond;  // told of fewer samples than it is given
    EXPECT_FALSE(write_silence(beyond, sound_container::wav, wav, 1));

    counting_sink form;
    ASSERT_TRUE(write_silence(form, sound_container::aiff, 1000));
    EXPECT_EQ(std::string(form.head.begin(), form.head.begin() + 4), "FORM");
    EXPECT_EQ(form.length, 54 + 2 * 1000);
    EXPECT_EQ(field(form.head, 4, 4, true), form.length - 8);
    EXPECT_LE(54 + 2 * aiff - 8, max_size);
    EXPECT_GT(54 + 2 * (aiff + 1) - 8, max_size);
    EXPECT_TRUE(audio::container_holds(sound_container::aiff, aiff));
    EXPECT_FALSE(audio::container_holds(sound_container::aiff, aiff + 1));
    EXPECT_TRUE(audio::container_holds(sound_container::wav, std::uint64_t{1} << 40));
    EXPECT_TRUE(audio::container_holds(sound_container::flac, std::uint64_t{1} << 40));

    counting_sink refused;
    EXPECT_FALSE(write_silence(refused, sound_container::aiff, aiff + 1));
    EXPECT_EQ(refused.length, 0U);
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
    std::filesystem::copy_file(dir / "header.wav", dir / "data_header.wav");
    std::filesystem::resize_file(dir / "data_header.wav", 42);  // cut inside the data chunk's header
    write_file(dir / "long.nbz", {});
    std::filesystem::resize_file(dir / "long.nbz", (audio::max_aiff_samples + 1 + 7) / 8 * 4);  // sparse
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
        {cli::run_nbzhq, {dir / "data_header.wav", dir / "out"}, "Couldn't decode input file.\n"},
        {cli::run_nbzdec,
         {dir / "in.nbz", dir / "out.WAV"},
         "Give the sample rate with -r HZ: the stream does not store it, and a WAV, FLAC or AIFF output needs it.\n"},
        {cli::run_nbzdec,
         {"-r", "8000", dir / "in.nbz", dir / "out"},
         "A raw output has no sample rate: -r needs an output named .wav, .flac, .aif or .aiff.\n"},
        {cli::run_nbzdec, {"-w", "3", dir / "in.nbz", dir / "out"}, "Unknown option: -w (see --help).\n"},
        {cli::run_nbzdec,
         {"-r", "8000", dir / "long.nbz", dir / "out.aiff"},
         "An AIFF output holds at most 2147483624 samples: name a WAV or FLAC output.\n"},
        {cli::run_nbzhq, {"-w", "0", dir / "in.raw", dir / "out"}, "Option -w needs a search width from 1 to 64.\n"},
    };
    for (const auto& c : cases) {
        const run_result r = run_in_process(c.command, c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.out, c.message);
        for (const char* name : {"out", "out.WAV", "out.aiff"})
            EXPECT_FALSE(std::filesystem::exists(dir / name)) << c.message;
    }
}

// A file cut short (a download or copy that stopped), or with bytes
// overwritten part way, is encoded as far as it decodes, whatever its header
// promised, and the report says so.
TEST(Refusals, FilesCutShortAreEncodedAsFarAsTheyDecode) {
    const std::vector<std::int16_t> samples = make_signal(signal::noise, 40000, 5);
    std::vector<std::int32_t> frames(samples.begin(), samples.end());
    for (auto& f : frames) f *= 65536;
    const std::string compressed = "8000 Hz, 1 channel, compressed, ";
    const struct {
        std::string name;
        int format;
        std::string input_line;  // up to the count
        bool exact;              // the stream is that of the raw samples decoded
        bool overwritten;        // 400 bytes overwritten part way, not cut
    } cases[] = {
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "Input: WAV, 8000 Hz, 1 channel, 16-bit PCM, ", true, false},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, "Input: AIFF, 8000 Hz, 1 channel, 24-bit PCM, ", true, false},
        {"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "Input: FLAC, 8000 Hz, 1 channel, 16-bit PCM, ", true, false},
        {"cut.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Input: Ogg Vorbis, " + compressed, false, false},
        {"damaged.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Input: Ogg Vorbis, " + compressed, false, true},
        {"ima.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, "Input: WAV, " + compressed, false, false},
        {"ms.wav", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, "Input: WAV, " + compressed, false, false},
        {"gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, "Input: WAV, " + compressed, false, false},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        ASSERT_TRUE(write_sound(dir / "full", c.format, 8000, 1, frames)) << c.name;
        bytes file = read_file(dir / "full");
        if (c.overwritten) {
            for (std::size_t i = file.size() * 3 / 10; i < file.size() * 3 / 10 + 400; ++i)
                file[i] = static_cast<unsigned char>(i * 7919 >> 5);
        } else {
            file.resize(file.size() * 6 / 10);
        }
        write_file(dir / c.name, file);
        const run_result r = run_in_process(cli::run_nbzhq, {"-w", "1", dir / c.name, dir / "out.nbz"});
        EXPECT_EQ(r.status, 0) << c.name;
        ASSERT_EQ(r.out.rfind(c.input_line, 0), 0U) << r.out;
        const std::size_t count = std::stoul(r.out.substr(c.input_line.size()));
        const std::string rest = " samples encoded (the file ends early)\n";
        EXPECT_EQ(r.out.substr(r.out.find(' ', c.input_line.size()), rest.size()), rest) << c.name;
        EXPECT_GT(count, 0U) << c.name;
        EXPECT_LT(count, c.overwritten ? samples.size() : samples.size() * 7 / 10) << c.name;
        if (c.exact) {
            EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(search_all(std::span{samples}.first(count), 1))) << c.name;
        }
    }
}

// Appends `text`, or `value` in `size` bytes least significant first.
void put(bytes& file, std::string_view text) { file.insert(file.end(), text.begin(), text.end()); }
void put(bytes& file, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) file.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// Overwrites `size` bytes after the first `tag` in `file` with `value`.
bytes patched(bytes file, std::string_view tag, std::uint64_t value, int size, bool big_endian = false) {
    const auto at =
        static_cast<std::size_t>(std::search(file.begin(), file.end(), tag.begin(), tag.end()) - file.begin());
    for (int i = 0; i < size; ++i)
        file.at(at + tag.size() + static_cast<std::size_t>(i)) =
            static_cast<unsigned char>(value >> (8 * (big_endian ? size - 1 - i : i)));
    return file;
}

// An RF64 file of mono 16-bit samples at 8000 Hz as ffmpeg writes it: the
// ds64 chunk first, a plain fmt chunk, a LIST chunk, and all ones for the
// data chunk's own size; writing to a pipe, it leaves the ds64 sizes 0.
bytes ffmpeg_rf64(std::span<const std::int16_t> samples, bool to_pipe) {
    const bytes pcm = pcm_bytes(samples);
    const std::uint64_t header = 12 + 36 + 24 + 34 + 8;
    bytes file;
    put(file, "RF64");
    put(file, 0xFFFFFFFF, 4);
    put(file, "WAVEds64");
    put(file, 28, 4);
    put(file, to_pipe ? 0 : header + pcm.size() - 8, 8);
    put(file, to_pipe ? 0 : pcm.size(), 8);
    put(file, to_pipe ? 0 : samples.size(), 8);
    put(file, 0, 4);
    put(file, "fmt ");
    for (const auto& [value, size] : {std::pair{16, 4}, {1, 2}, {1, 2}, {8000, 4}, {16000, 4}, {2, 2}, {16, 2}})
        put(file, static_cast<std::uint64_t>(value), size);
    put(file, "LIST");
    put(file, 26, 4);
    put(file, std::string_view{"INFOISFT\x0e\0\0\0Lavf59.27.100\0", 26});
    put(file, "data");
    put(file, 0xFFFFFFFF, 4);
    file.insert(file.end(), pcm.begin(), pcm.end());
    return file;
}

// Headers as other tools write them. A writer that cannot rewind (to a
// pipe) leaves a placeholder for a length, and the sound then runs to the end
// of the file; a length past the end is a file cut short.
TEST(Refusals, HeadersAsOtherToolsWriteThemGiveWhatTheFileHolds) {
    const std::vector<std::int16_t> samples = make_signal(signal::noise, 1000, 7);
    std::vector<std::int32_t> frames(samples.begin(), samples.end());
    for (auto& f : frames) f *= 65536;
    temp_dir dir;
    for (const auto& [name, format] : {std::pair{"in.wav", SF_FORMAT_WAV},
                                       {"in.aiff", SF_FORMAT_AIFF},
                                       {"in.caf", SF_FORMAT_CAF},
                                       {"in.flac", SF_FORMAT_FLAC}})
        ASSERT_TRUE(write_sound(dir / name, format | SF_FORMAT_PCM_16, 8000, 1, frames));
    const bytes wav = read_file(dir / "in.wav");  // 44 bytes of header
    bytes flac = read_file(dir / "in.flac");
    flac.at(21) &= 0xF0;  // STREAMINFO's 36-bit sample count: 0, unknown
    std::fill_n(flac.begin() + 22, 4, 0);
    bytes empty_then_list = patched(bytes(wav.begin(), wav.begin() + 44), "data", 0, 4);
    put(empty_then_list, std::string_view{"LIST\x04\0\0\0INFO", 12});
    bytes rf64_cut = ffmpeg_rf64(samples, false);
    rf64_cut.resize(rf64_cut.size() - std::size_t{2} * 400);
    const std::string line = ", 8000 Hz, 1 channel, 16-bit PCM, ";
    const struct {
        std::string name;
        bytes file;
        std::string input;  // the format
        std::size_t count;  // samples encoded
        bool ends_early;
    } cases[] = {
        {"streaming.wav", patched(patched(wav, "RIFF", 0xFFFFFFFF, 4), "data", 0xFFFFFFFF, 4), "WAV", 1000, false},
        {"sox_pipe.wav", patched(patched(wav, "RIFF", 0x7FFFF024, 4), "data", 0x7FFFF000, 4), "WAV", 1000, false},
        {"sox_pipe.aiff",
         patched(patched(read_file(dir / "in.aiff"), "FORM", 0x7F00002E, 4, true), "SSND", 0x7F000008, 4, true), "AIFF",
         1000, false},
        {"zero_length.wav", patched(wav, "data", 0, 4), "WAV", 1000, false},
        {"empty.wav", patched(patched(bytes(wav.begin(), wav.begin() + 44), "RIFF", 36, 4), "data", 0, 4), "WAV", 0,
         false},
        {"empty_then_list.wav", empty_then_list, "WAV", 0, false},
        {"ffmpeg.rf64", ffmpeg_rf64(samples, false), "RF64", 1000, false},
        {"ffmpeg_pipe.rf64", ffmpeg_rf64(samples, true), "RF64", 1000, false},
        {"ffmpeg_cut.rf64", rf64_cut, "RF64", 600, true},
        {"pipe.caf", patched(read_file(dir / "in.caf"), "data", ~std::uint64_t{0}, 8, true), "CAF", 1000, false},
        {"unknown_length.flac", flac, "FLAC", 1000, false},
    };
    for (const auto& c : cases) {
        write_file(dir / c.name, c.file);
        const run_result r = run_in_process(cli::run_nbzhq, {"-w", "1", dir / c.name, dir / "out.nbz"});
        EXPECT_EQ(r.status, 0) << c.name;
        const std::string report = "Input: " + c.input + line + std::to_string(c.count) + " samples encoded" +
                                   (c.ends_early ? " (the file ends early)\n" : "\n");
        EXPECT_EQ(r.out.substr(0, report.size()), report) << c.name;
        EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(search_all(std::span{samples}.first(c.count), 1))) << c.name;
    }
}

// Streams joined end to end (cat a.ogg b.ogg) are decoded link after link,
// as far as the links keep the first one's rate and channels.
TEST(Refusals, ChainedStreamsAreDecodedLinkAfterLink) {
    const struct {
        std::string name;
        int format;
        int rate;
        int second_rate;
        int second_channels;
        std::size_t count;  // samples encoded
        bool ends_early;
    } cases[] = {
        {"chained.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 8000, 1, 12000, false},
        {"rates.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 11025, 1, 6000, true},
        {"channels.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 8000, 2, 6000, true},
        {"joined.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 44100, 1, 12000, false},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        bytes joined;
        for (const auto& [rate, channels] : {std::pair{c.rate, 1}, {c.second_rate, c.second_channels}}) {
            std::vector<std::int32_t> tone;
            for (std::size_t i = 0; i < 6000 * static_cast<std::size_t>(channels); ++i)
                tone.push_back(static_cast<std::int32_t>(1e9 * std::sin(static_cast<double>(i) * 0.05)));
            if (!write_sound(dir / "part", c.format, rate, channels, tone)) break;  // no MP3 writer here
            const bytes part = read_file(dir / "part");
            // nbzhq knows an MP3 by the ID3 tag in front, as encoders write it.
            if ((c.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)
                put(joined, std::string_view{"ID3\x04\0\0\0\0\0\x0a\0\0\0\0\0\0\0\0\0\0", 20});
            joined.insert(joined.end(), part.begin(), part.end());
        }
        if (joined.empty()) continue;
        write_file(dir / c.name, joined);
        const run_result r = run_in_process(cli::run_nbzhq, {"-w", "1", dir / c.name, dir / "out.nbz"});
        EXPECT_EQ(r.status, 0) << c.name;
        const std::string count = ", " + std::to_string(c.count) + " samples encoded";
        const std::string end = c.ends_early ? " (the file ends early)\n" : "\n";
        EXPECT_NE(r.out.find(count + end), std::string::npos) << c.name << ": " << r.out;
    }
}

#ifndef _WIN32  // joins standard error to output through POSIX
// An MP3 as encoders write it: an ID3 tag, no frame count of its own, so that
// the library's estimate, made from the file's size, promises too much. A
// damaged one still encodes what decodes, with the note, and its decoder's
// complaints stay off standard error, also when descriptors run short: the
// run may then fail, with its one line.
TEST(Refusals, Mp3WithAnId3TagIsEncodedToItsEnd) {
    temp_dir dir;
    std::vector<std::int32_t> tone(44100);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int32_t>(1e9 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44100));
    ASSERT_TRUE(write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, tone));
    const std::string lame = "lame --quiet -t --cbr -b 64 --add-id3v2 --pad-id3v2-size 2000 --tt nbz '" +
                             std::string{dir / "in.wav"} + "' '" + std::string{dir / "in.mp3"} + "' 2> /dev/null";
    if (std::system(lame.c_str()) != 0) {
        // The library's own writer at a constant bit rate, behind a tag of
        // 2000 bytes of padding, without its first frame, which states the
        // frame count.
        if (!write_sound(dir / "plain.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, tone, true))
            GTEST_SKIP() << "neither lame nor libsndfile's MPEG writer is available";
        bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0x0F, 0x50};
        tagged.resize(10 + 2000);
        const bytes plain = read_file(dir / "plain.mp3");
        constexpr int layer3_kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
        const std::ptrdiff_t first_frame =
            std::ptrdiff_t{144} * layer3_kbps[plain.at(2) >> 4] * 1000 / 44100 + (plain.at(2) >> 1 & 1);
        tagged.insert(tagged.end(), plain.begin() + first_frame, plain.end());
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
        } else {
            EXPECT_NE(r.out.find(" samples encoded (the file ends early)\n"), std::string::npos) << r.out;
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
        const run_result r = run_in_process(cli::run_nbzhq, {dir / "in", dir / "out.nbz"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Maximum output level: ", 0), 0U) << r.out;  // the raw report alone
        EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(search_all(samples))) << head;
    }
}

}  // namespace
}  // namespace nbz::testing
