#pragma once
// What every nbz command shares: argument counting, opening the files with
// their checks, turning failures into a message and an exit status, removing
// a partial output, and the report line.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "nbz/platform/files.h"

namespace nbz::cli {

// The command-line arguments after the program's name. None is an option:
// each is taken by position, literally.
using arguments = std::span<const std::string>;

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;

struct command_definition {
    std::string_view usage;  // printed as it stands on a wrong argument count
    bool takes_gain;         // whether an optional third argument, dB gain, is accepted
    // Checked after the argument count, before anything is opened; returns
    // the failure message, or an empty view if the arguments are acceptable.
    std::function<std::string_view(arguments)> check_arguments = {};
    // Checked on the opened input before the output is opened (it may read
    // the input, and leaves it anywhere); returns the failure message, or an
    // empty view if the input is acceptable. May throw io_failure.
    std::function<std::string_view(input_file&)> check_input = {};
};

// Does the command's work from the opened input to the opened output, and
// returns the lines to report on success, each ending in a newline. Throws
// io_failure on a read or write failure.
using command_body =
    std::function<std::string(input_file& input, output_file& output, const std::optional<std::string>& gain)>;

// Runs a command of the shape `name Input Output [dBGain]`: on a wrong count
// prints the usage and returns 1 with nothing opened; checks the arguments;
// opens the input, then
// the output, runs `body`, closes the output, prints the report and returns
// 0. Any failure prints its one-line message, removes the partial output and
// returns 1; the input is never written.
int run_command(arguments args, std::ostream& out, file_system& files, const command_definition& definition,
                const command_body& body);

// "Maximum output level: N", with " (overflow by N - 32767)" above 32767, and
// a newline.
std::string level_report(std::uint32_t peak);

// For a command's main(): runs it on the process's arguments and standard
// output, and fails if the report could not be written out.
int main_with(int argc, char** argv, int (*run)(arguments, std::ostream&));

}  // namespace nbz::cli
