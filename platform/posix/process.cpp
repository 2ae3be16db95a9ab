#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "interrupts.h"
#include "nbz/platform/process.h"

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

quiet_standard_error::quiet_standard_error() noexcept {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0 && ::dup2(null, STDERR_FILENO) < 0) {
        ::close(saved_);
        saved_ = -1;
    }
    if (null != STDERR_FILENO) ::close(null);
}

quiet_standard_error::~quiet_standard_error() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}

}  // namespace nbz::cli
