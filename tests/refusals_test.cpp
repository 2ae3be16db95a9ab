// What nbzhq and nbzdec refuse: one line, status 1, and no output created.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "in_process.h"
#include "nbz/audio/writer.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "signals.h"
#include "sound_files.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

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

}  // namespace
}  // namespace nbz::testing
