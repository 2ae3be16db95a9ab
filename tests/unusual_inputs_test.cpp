// Audio files as they are found: cut short or overwritten part way, with
// headers as other tools write them (to a pipe, with placeholders for the
// lengths), streams joined end to end, and an MP3 behind an ID3 tag. Each is
// encoded as far as it decodes, and the report says where it ended early.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "in_process.h"
#include "nbzhq_command.h"
#include "signals.h"
#include "sound_files.h"
#include "streams.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// A file cut short (a download or copy that stopped), or with bytes
// overwritten part way, is encoded as far as it decodes, whatever its header
// promised, and the report says so.
TEST(UnusualInputs, FilesCutShortAreEncodedAsFarAsTheyDecode) {
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
TEST(UnusualInputs, HeadersAsOtherToolsWriteThemGiveWhatTheFileHolds) {
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
TEST(UnusualInputs, ChainedStreamsAreDecodedLinkAfterLink) {
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
TEST(UnusualInputs, Mp3WithAnId3TagIsEncodedToItsEnd) {
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

}  // namespace
}  // namespace nbz::testing
