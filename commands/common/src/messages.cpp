#include "nbz/cli/messages.h"

#include <array>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "nbz/cli/options.h"
#include "nbz/meter.h"
#include "nbz/search_encoder.h"

namespace nbz::cli::messages {

std::string nbzhq_help() {
    return "Usage: nbzhq [options] Input Output.nbz [dBGain]\n"
           "Encodes by search. Input is a WAV, FLAC, AIFF, Ogg or MP3 file (mixed to\n"
           "mono), or else raw mono signed PCM16. Output will be aligned to 4 bytes.\n"
           "Options:\n"
           "  -r, --rate HZ    resample the input to HZ first (not for a raw input)\n"
           "  -w, --width N    search width, 1 to 64 (default " +
           std::to_string(search_default_width) +
           ")\n"
           "  -h, --help       print this help and exit\n"
           "  -V, --version    print the version and exit\n";
}

std::string version_text(std::string_view name) {
    std::string text{name};
    text += ' ';
    text += NBZ_VERSION;
    text += " (search kernel: ";
    text += search_kernel_name(search_widest_kernel());
    text += ')';
    return text;
}

// The one table from failures to their lines.
void write_failure(std::ostream& out, const failure& what) {
    switch (what.code) {
        case failure_code::open_input_failed:
            out << "Couldn't open input file.";
            break;
        case failure_code::open_output_failed:
            out << "Couldn't open output file.";
            break;
        case failure_code::same_file:
            out << "Input and output must be different files.";
            break;
        case failure_code::same_as_standard_output:
            out << "Output and standard output must be different files.";
            break;
        case failure_code::input_not_regular:
            out << "Input file must be a regular file.";
            break;
        case failure_code::read_failed:
            out << "Couldn't read input file.";
            break;
        case failure_code::write_failed:
            out << "Couldn't write output file.";
            break;
        case failure_code::final_copy_failed:
            out << "Couldn't write output file: copying the finished stream into it failed, and it is now empty.";
            break;
        case failure_code::output_not_seekable:
            out << "Couldn't write output file: a WAV, FLAC or AIFF output must be a file that can be rewound.";
            break;
        case failure_code::not_whole_words:
            out << "Input is not a whole number of code words.";
            break;
        case failure_code::decode_failed:
            out << "Couldn't decode input file.";
            break;
        case failure_code::resample_failed:
            out << "Couldn't resample input file.";
            break;
        case failure_code::unknown_option:
            out << "Unknown option: " << what.detail << " (see --help).";
            break;
        case failure_code::bad_rate:
            out << "Option " << what.detail << " needs a sample rate from " << min_rate_hz << " to " << max_rate_hz
                << " Hz.";
            break;
        case failure_code::bad_width:
            out << "Option " << what.detail << " needs a search width from 1 to " << search_width_max << ".";
            break;
        case failure_code::rate_needs_container:
            out << "A raw input has no sample rate to convert from: -r needs a WAV, FLAC, AIFF, Ogg or MP3 input.";
            break;
        case failure_code::container_needs_rate:
            out << "Give the sample rate with -r HZ: the stream does not store it, and a WAV, FLAC or AIFF output "
                   "needs it.";
            break;
        case failure_code::flac_rate_too_high:
            out << "A FLAC output stores sample rates up to 655350 Hz: give a lower -r, or name a WAV or AIFF output.";
            break;
        case failure_code::aiff_too_long:
            out << "An AIFF output holds at most " << what.detail << " samples: name a WAV or FLAC output.";
            break;
        case failure_code::rate_needs_container_output:
            out << "A raw output has no sample rate: -r needs an output named .wav, .flac, .aif or .aiff.";
            break;
        case failure_code::out_of_memory:
            out << "Not enough memory.";
            break;
        case failure_code::unexpected:
            out << "Stopped by an unexpected failure.";
            break;
    }
    out << '\n';
}

std::string failure_text(const failure& what) {
    std::ostringstream line;
    write_failure(line, what);
    std::string text = std::move(line).str();
    text.pop_back();  // the line end
    return text;
}

std::string level_report(std::uint32_t peak) {
    std::string line = "Maximum output level: " + std::to_string(peak);
    if (const std::uint32_t overflow = overflow_of(peak)) line += " (overflow by " + std::to_string(overflow) + ")";
    return line + '\n';
}

std::string snr_report(double ratio_db) {
    std::array<char, 64> number{};
    std::snprintf(number.data(), number.size(), "%.2f", ratio_db);
    return std::string{"Signal-to-noise ratio: "} + number.data() + " dB\n";
}

std::string input_report(const input_summary& input) {
    std::string line = "Input: " + std::string{input.format} + ", " + std::to_string(input.rate_hz) + " Hz, " +
                       std::to_string(input.channels) + (input.channels == 1 ? " channel, " : " channels, ") +
                       std::string{input.sample_format};
    if (input.channels > 1) line += ", mixed to mono";
    if (input.resampled_hz) line += ", resampled to " + std::to_string(*input.resampled_hz) + " Hz";
    line += ", " + std::to_string(input.samples) + (input.samples == 1 ? " sample encoded" : " samples encoded");
    return line + (input.ended_early ? " (the file ends early)\n" : "\n");
}

std::string progress_text(int percent, std::optional<long> seconds_left) {
    std::array<char, 64> line{};
    if (seconds_left) {
        std::snprintf(line.data(), line.size(), "%3d%%, %ld:%02ld left", percent, *seconds_left / 60,
                      *seconds_left % 60);
    } else {
        std::snprintf(line.data(), line.size(), "%3d%%", percent);
    }
    return line.data();
}

}  // namespace nbz::cli::messages
