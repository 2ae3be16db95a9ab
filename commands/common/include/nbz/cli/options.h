#pragma once
// The conventional options of nbzhq and nbzdec, read before their positional
// arguments.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nbz/cli/command.h"

namespace nbz::cli {

inline constexpr long min_rate_hz = 1000;
inline constexpr long max_rate_hz = 768000;

// Which options a command takes besides -r, -h and -V.
struct option_set {
    bool width;  // -w/--width N, the search width
};

struct command_options {
    std::optional<long> rate_hz;  // -r/--rate HZ
    std::optional<int> width;     // -w/--width N
    bool help = false;            // -h/--help
    bool version = false;         // -V/--version
    std::vector<std::string> positionals;
};

// Reads options until the first positional argument, "--" (dropped) or a lone
// "-" (a positional: the file named "-"); everything from there on is
// positional as it stands, so a third argument "-6" is still a gain. A value
// is the next argument, follows "=" in the long form (--rate=22050), or is
// attached to the short one (-r22050); -h and -V take none, so --help=1 is
// unknown. The first unknown option, or missing or bad value, throws its
// failure (unknown_option, bad_rate or bad_width), naming it.
command_options parse_options(arguments args, option_set allowed);

// Prints the help text if the options ask for it, else the version text of
// `name` if they ask for that; returns whether it printed either, the run
// then ending with status 0.
bool print_help_or_version(const command_options& options, std::ostream& out, std::string_view name,
                           std::string_view help);

}  // namespace nbz::cli
