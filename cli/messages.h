#pragma once
// Everything the commands print, kept together. All of it goes to standard
// output; each message is one line.

#include <string_view>

namespace nbz::cli::messages {

inline constexpr std::string_view nbz_usage =
    "Usage: nbz Input.raw Output.nbz [dBGain]\n"
    "Input.raw must be mono signed PCM16.\n"
    "Output will be aligned to 4 bytes.\n";

inline constexpr std::string_view nbzdec_usage =
    "Usage: nbzdec Input.nbz Output.raw\n"
    "Decodes a stream written by nbz to mono signed PCM16.\n";

inline constexpr std::string_view nbzhq_usage =
    "Usage: nbzhq Input.raw Output.nbz [dBGain]\n"
    "Input.raw must be mono signed PCM16.\n"
    "Output will be aligned to 4 bytes.\n";

inline constexpr std::string_view open_input_failed = "Couldn't open input file.";
inline constexpr std::string_view open_output_failed = "Couldn't open output file.";
inline constexpr std::string_view same_file = "Input and output must be different files.";
inline constexpr std::string_view same_as_standard_output = "Output and standard output must be different files.";
inline constexpr std::string_view input_not_regular = "Input file must be a regular file.";
inline constexpr std::string_view read_failed = "Couldn't read input file.";
inline constexpr std::string_view write_failed = "Couldn't write output file.";
inline constexpr std::string_view not_whole_words = "Input is not a whole number of code words.";

inline constexpr std::string_view level_prefix = "Maximum output level: ";
inline constexpr std::string_view overflow_prefix = " (overflow by ";
inline constexpr std::string_view overflow_suffix = ")";

inline constexpr std::string_view snr_prefix = "Signal-to-noise ratio: ";
inline constexpr std::string_view snr_suffix = " dB";

}  // namespace nbz::cli::messages
