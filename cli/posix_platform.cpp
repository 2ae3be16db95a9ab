#include <unistd.h>

#include <csignal>

#include "interrupt_cleanup.h"
#include "platform.h"

namespace nbz::cli {

std::vector<std::string> command_arguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

void prepare_process() {
    // A reader that went away or the file-size limit then fails the write,
    // which is reported and cleaned up, instead of killing the run silently.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    install_interrupt_cleanup();
}

bool standard_error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace nbz::cli
