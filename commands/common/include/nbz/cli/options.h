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
    std::string error;  // a one-line usage error naming the option; empty if none
};

// Reads options until the first positional argument, "--" (dropped) or a lone
// "-" (a positional: the file named "-"); everything from there on is
// positional as it stands, so a third argument "-6" is still a gain. A value
// is the next argument, follows "=" in the long form (--rate=22050), or is
// attached to the short one (-r22050). The first unknown option, missing or
// bad value stops the reading with `error`.
command_options parse_options(arguments args, option_set allowed);

// Acts on what ends a run before its work: prints the usage error (status
// 1), or the help or the version text (status 0). Returns that status, or
// none when the command should go on with its positional arguments.
std::optional<int> settle_options(const command_options& options, std::ostream& out, std::string_view name,
                                  std::string_view help);

}  // namespace nbz::cli
