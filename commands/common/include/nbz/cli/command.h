#pragma once
// What every nbz command shares: argument counting, opening the files in
// their order, turning every failure into its line and an exit status, and
// removing a partial output.

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "nbz/cli/failure.h"
#include "nbz/platform/files.h"

namespace nbz::cli {

// The command-line arguments after the program's name. None is an option:
// each is taken by position, literally.
using arguments = std::span<const std::string>;

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;

// A command of the shape `name Input Output [dBGain]`, as its steps.
struct command_definition {
    std::string_view usage;  // printed as it stands on a wrong argument count
    bool takes_gain;         // whether an optional third argument, dB gain, is accepted
    // After the argument count, before anything is opened: checks the
    // arguments. Throws failure.
    std::function<void(arguments)> check_arguments = {};
    // After the input is opened, before the output is: checks the input and
    // opens what reads it (it may read the input, and leaves it anywhere).
    // Throws failure.
    std::function<void(input_file& input)> open_input = {};
    // Writes the output from the input with the gain's factor (1 without a
    // gain argument; see gain_factor), and returns the report's lines, each
    // ending in a line end. Throws failure.
    std::function<std::string(input_file& input, output_file& output, double gain)> write_output;
};

// Runs a command: on a wrong count prints the usage and returns 1 with
// nothing opened; checks the arguments; opens the input, then the output,
// writes it, closes it, prints the report and returns 0. Any exception, an
// allocation failure included, prints its one line (report_failure), removes
// the partial output and returns 1; the input is never written.
int run_command(arguments args, std::ostream& out, file_system& files, const command_definition& definition);

// Called in a catch block, for the exception being handled: prints its line
// (failure_text; "Not enough memory." for std::bad_alloc) and returns
// exit_failure. Allocates nothing itself.
int report_failure(std::ostream& out) noexcept;

// For a command's main(): runs it on the process's arguments and standard
// output, and fails if the report could not be written out.
int main_with(int argc, char** argv, int (*run)(arguments, std::ostream&));

}  // namespace nbz::cli
