#pragma once
// A command run in the tests' own process, through its library, on the real
// files.

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "nbz/cli/command.h"

namespace nbz::testing {

struct run_result {
    int status;
    std::string out;  // what it printed on standard output
};

// Runs `command` (cli::run_nbzhq, say) on `args`.
inline run_result run_in_process(int (*command)(cli::arguments, std::ostream&), const std::vector<std::string>& args) {
    std::ostringstream out;
    const int status = command(args, out);
    return {status, out.str()};
}

}  // namespace nbz::testing
