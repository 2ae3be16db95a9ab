#pragma once
// Everything the commands print, made here: the usage and help texts, the
// one line of each failure, the report lines, the version and the progress.
// All of it goes to standard output except the progress (standard error).

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "nbz/cli/failure.h"

namespace nbz::cli::messages {

inline constexpr std::string_view nbz_usage =
    "Usage: nbz Input.raw Output.nbz [dBGain]\n"
    "Input.raw must be mono signed PCM16.\n"
    "Output will be aligned to 4 bytes.\n";

inline constexpr std::string_view nbzdec_usage =
    "Usage: nbzdec [options] Input.nbz Output\n"
    "Decodes to raw mono signed PCM16, or to WAV, FLAC or AIFF with -r HZ.\n"
    "nbzdec --help lists the options.\n";

inline constexpr std::string_view nbzhq_usage =
    "Usage: nbzhq [options] Input Output.nbz [dBGain]\n"
    "Input is a WAV, FLAC, AIFF, Ogg or MP3 file, or raw mono signed PCM16.\n"
    "nbzhq --help lists the options.\n";

inline constexpr std::string_view nbzdec_help =
    "Usage: nbzdec [options] Input.nbz Output\n"
    "Decodes a stream written by nbz or nbzhq to mono signed PCM16: a WAV, FLAC\n"
    "or AIFF file when Output ends in .wav, .flac, .aif or .aiff (-r required),\n"
    "raw otherwise.\n"
    "Options:\n"
    "  -r, --rate HZ    the rate the stream is played at, stored in the output\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n";

// nbzhq's -h text, which names the default search width.
std::string nbzhq_help();

// "<name> <version> (search kernel: <kernel>)", the kernel being the one
// this processor runs, so that a reported speed says what it was measured
// on. No line end.
std::string version_text(std::string_view name);

// The line of a failure, without a line end. Every code has its text; the
// option failures name `detail`.
std::string failure_text(const failure& what);

// Writes that line and a line end to `out`. Allocates nothing of its own, so
// that an allocation failure can still be reported.
void write_failure(std::ostream& out, const failure& what);

// "Maximum output level: N", with " (overflow by N - 32767)" above 32767, and
// a line end.
std::string level_report(std::uint32_t peak);

// "Signal-to-noise ratio: X dB" with X to two decimals ("inf" for a
// reconstruction equal to its input), and a line end.
std::string snr_report(double ratio_db);

// What nbzhq read from a container and did to it.
struct input_summary {
    std::string_view format;                // "WAV", "FLAC", "Ogg Vorbis", ...
    long rate_hz = 0;                       // the file's own rate
    int channels = 0;                       // the file's channels
    std::string_view sample_format;         // "24-bit PCM", "32-bit float", ...
    std::optional<long> resampled_hz = {};  // the rate it was resampled to, if it was
    std::uint64_t samples = 0;              // encoded
    bool ended_early = false;               // the file ended before its header said, or failed to decode part way
};

// "Input: WAV, 48000 Hz, 2 channels, 24-bit PCM, mixed to mono, resampled to
// 22050 Hz, 661500 samples encoded" and a line end; "mixed to mono" only for
// more than one channel, "resampled to" only when it was, "(the file ends
// early)" after the count when it did.
std::string input_report(const input_summary& input);

// The progress line: the percentage done (0 to 100) in three columns, then
// ", M:SS left" when an estimate is given in seconds.
std::string progress_text(int percent, std::optional<long> seconds_left);

}  // namespace nbz::cli::messages
