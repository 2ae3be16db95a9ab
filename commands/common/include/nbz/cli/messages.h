#pragma once
// Everything the commands print, kept together. All of it goes to standard
// output; each message is one line.

#include <string_view>

namespace nbz::cli::messages {

inline constexpr std::string_view nbz_usage =
    "Usage: nbz Input.raw Output.nbz [dBGain]\n"
    "Input.raw must be mono signed PCM16.\n"
    "Output will be aligned to 4 bytes.\n";

inline constexpr std::string_view nbzdec_help =
    "Usage: nbzdec [options] Input.nbz Output\n"
    "Decodes a stream written by nbz or nbzhq to mono signed PCM16: a WAV, FLAC\n"
    "or AIFF file when Output ends in .wav, .flac, .aif or .aiff (-r required),\n"
    "raw otherwise.\n"
    "Options:\n"
    "  -r, --rate HZ    the rate the stream is played at, stored in the output\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n";

inline constexpr std::string_view nbzhq_help =
    "Usage: nbzhq [options] Input Output.nbz [dBGain]\n"
    "Encodes by search. Input is a WAV, FLAC, AIFF, Ogg or MP3 file (mixed to\n"
    "mono), or else raw mono signed PCM16. Output will be aligned to 4 bytes.\n"
    "Options:\n"
    "  -r, --rate HZ    resample the input to HZ first (not for a raw input)\n"
    "  -w, --width N    search width, 1 to 64 (default %d)\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n";

inline constexpr std::string_view nbzdec_usage =
    "Usage: nbzdec [options] Input.nbz Output\n"
    "Decodes to raw mono signed PCM16, or to WAV, FLAC or AIFF with -r HZ.\n"
    "nbzdec --help lists the options.\n";

inline constexpr std::string_view nbzhq_usage =
    "Usage: nbzhq [options] Input Output.nbz [dBGain]\n"
    "Input is a WAV, FLAC, AIFF, Ogg or MP3 file, or raw mono signed PCM16.\n"
    "nbzhq --help lists the options.\n";

inline constexpr std::string_view open_input_failed = "Couldn't open input file.";
inline constexpr std::string_view open_output_failed = "Couldn't open output file.";
inline constexpr std::string_view same_file = "Input and output must be different files.";
inline constexpr std::string_view same_as_standard_output = "Output and standard output must be different files.";
inline constexpr std::string_view input_not_regular = "Input file must be a regular file.";
inline constexpr std::string_view read_failed = "Couldn't read input file.";
inline constexpr std::string_view write_failed = "Couldn't write output file.";
inline constexpr std::string_view final_copy_failed =
    "Couldn't write output file: copying the finished stream into it failed, and it is now empty.";
inline constexpr std::string_view not_whole_words = "Input is not a whole number of code words.";
inline constexpr std::string_view decode_failed = "Couldn't decode input file.";
inline constexpr std::string_view resample_failed = "Couldn't resample input file.";
inline constexpr std::string_view output_not_seekable =
    "Couldn't write output file: a WAV, FLAC or AIFF output must be a file that can be rewound.";
inline constexpr std::string_view rate_needs_container =
    "A raw input has no sample rate to convert from: -r needs a WAV, FLAC, AIFF, Ogg or MP3 input.";
inline constexpr std::string_view container_needs_rate =
    "Give the sample rate with -r HZ: the stream does not store it, and a WAV, FLAC or AIFF output needs it.";
inline constexpr std::string_view flac_rate_too_high =
    "A FLAC output stores sample rates up to 655350 Hz: give a lower -r, or name a WAV or AIFF output.";
inline constexpr std::string_view aiff_too_long =
    "An AIFF output holds at most 2147483624 samples: name a WAV or FLAC output.";
inline constexpr std::string_view rate_needs_container_output =
    "A raw output has no sample rate: -r needs an output named .wav, .flac, .aif or .aiff.";

inline constexpr std::string_view level_prefix = "Maximum output level: ";
inline constexpr std::string_view overflow_prefix = " (overflow by ";
inline constexpr std::string_view overflow_suffix = ")";

inline constexpr std::string_view input_prefix = "Input: ";

inline constexpr std::string_view snr_prefix = "Signal-to-noise ratio: ";
inline constexpr std::string_view snr_suffix = " dB";

}  // namespace nbz::cli::messages
