// The streams of nbz and nbzhq for inputs of exact integer samples, against
// hashes recorded on x86-64 Linux: every machine must give the same bytes.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hashing.h"
#include "in_process.h"
#include "nbz_command.h"
#include "nbzhq_command.h"
#include "random.h"
#include "sound_files.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// Integer arithmetic only: two triangle waves and an LCG's noise, within 16
// bits, left-justified in 32; `channel` shifts the waves.
std::vector<std::int32_t> frames(std::size_t count, int channels, int low_bits) {
    std::vector<std::int32_t> out;
    lcg random{2026};
    for (std::size_t n = 0; n < count; ++n) {
        for (int c = 0; c < channels; ++c) {
            const auto t = static_cast<std::int32_t>((n + static_cast<std::size_t>(c) * 29) % 200);
            const auto u = static_cast<std::int32_t>((n * 3) % 1511);
            const std::uint32_t seed = random.next();
            const std::int32_t v = (t < 100 ? t : 200 - t) * 150 - 7500 + (u < 755 ? u : 1511 - u) * 20 - 7550 +
                                   static_cast<std::int32_t>(seed >> 22) - 512;
            out.push_back(v * 65536 + (low_bits ? static_cast<std::int32_t>(seed >> 8) & 0xff00 : 0));
        }
    }
    return out;
}

// FNV-1a over the file's bytes.
std::uint64_t file_hash(const std::string& path) { return fnv1a(read_file(path)); }

TEST(StreamHash, EachCommandAndInputGivesTheStreamRecordedOnX86) {
    temp_dir dir;
    const auto mono = frames(30011, 1, 0);
    bytes raw;
    for (const std::int32_t v : mono) {
        raw.push_back(static_cast<unsigned char>((v >> 16) & 0xff));
        raw.push_back(static_cast<unsigned char>((v >> 24) & 0xff));
    }
    write_file(dir / "in.raw", raw);
    ASSERT_TRUE(write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, mono));
    ASSERT_TRUE(write_sound(dir / "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, mono));
    ASSERT_TRUE(write_sound(dir / "in24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, frames(30011, 2, 1)));

    const struct {
        const char* name;
        int (*command)(cli::arguments, std::ostream&);
        std::vector<std::string> options;
        std::string input;
        std::uint64_t hash;
    } cases[] = {
        {"nbz", cli::run_nbz, {}, "in.raw", 0xd7194a5aa0e3a4ee},
        {"nbzhq", cli::run_nbzhq, {}, "in.raw", 0x2430e4eec63866d1},
        {"nbzhq", cli::run_nbzhq, {}, "in.wav", 0x2430e4eec63866d1},
        {"nbzhq", cli::run_nbzhq, {"-r", "22050"}, "in.wav", 0x8e4a54a9c0723d00},
        {"nbzhq", cli::run_nbzhq, {}, "in.flac", 0x2430e4eec63866d1},
        {"nbzhq", cli::run_nbzhq, {"-r", "22050"}, "in.flac", 0x8e4a54a9c0723d00},
        {"nbzhq", cli::run_nbzhq, {}, "in24.wav", 0x1a56203d1bea1cdc},
        {"nbzhq", cli::run_nbzhq, {"-r", "22050"}, "in24.wav", 0x874d2dba0355c1a7},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.push_back(dir / c.input);
        args.push_back(dir / "out.nbz");
        const std::string what =
            std::string{c.name} + " " + (c.options.empty() ? "" : c.options[0] + " " + c.options[1] + " ") + c.input;
        const run_result r = run_in_process(c.command, args);
        ASSERT_EQ(r.status, 0) << what << ": " << r.out;
        EXPECT_EQ(file_hash(dir / "out.nbz"), c.hash) << what << ": " << std::hex << file_hash(dir / "out.nbz");
    }
}

// MP3 is decoded in floating point by mpg123, which picks its synthesis
// routine by processor: the stream is promised per processor, here x86-64
// (whose SSE and AVX routines give this file the same samples), on Linux and
// on Windows.
TEST(StreamHash, TaggedMp3GivesTheStreamRecordedOnX86) {
#ifndef __x86_64__
    GTEST_SKIP() << "the MP3's stream is recorded for x86-64 only";
#endif
    temp_dir dir;
    write_file(dir / "in.mp3", read_file(NBZ_TEST_DATA "/music_cbr128_id3.mp3"));
    const run_result r = run_in_process(cli::run_nbzhq, {dir / "in.mp3", dir / "out.nbz"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(file_hash(dir / "out.nbz"), 0xcc2302ded495663dU) << std::hex << file_hash(dir / "out.nbz");
}

}  // namespace
}  // namespace nbz::testing
