#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "interrupts.h"
#include "nbz/platform/process.h"

namespace nbz::cli {
namespace {

// The null device, or, where there is none (a bare chroot), the root folder
// opened for reading, which takes no writes either. -1 if neither opens.
int open_null(int flags) {
    const int null = ::open("/dev/null", O_RDWR | O_NOCTTY | flags);
    return null >= 0 ? null : ::open("/", O_RDONLY | O_DIRECTORY | flags);
}

// Opens the null device on any of standard input, output and error that is
// closed, so that no file the run opens takes its number: the report would
// go into the output, and the quieting of standard error would swap the
// input away.
void fill_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number, as those below are open.
        const int null = open_null(0);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

// What the quieting of standard error needs, opened once, at the start of
// the run, so that a run short of descriptors still keeps the decoders'
// notes off standard error.
struct error_quieting {
    int null = open_null(O_CLOEXEC);
    int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);  // the real standard error
    int depth = 0;
};

error_quieting& quieting() {
    static error_quieting descriptors;
    return descriptors;
}

}  // namespace

std::vector<std::string> command_arguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

void prepare_process() {
    fill_standard_descriptors();
    static_cast<void>(quieting());
    // A reader that went away or the file-size limit then fails the write,
    // which is reported and cleaned up, instead of killing the run silently.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    install_interrupt_cleanup();
}

bool standard_error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

quiet_standard_error::quiet_standard_error() noexcept {
    error_quieting& q = quieting();
    if (q.null < 0 || q.saved < 0) return;
    if (q.depth == 0 && ::dup2(q.null, STDERR_FILENO) < 0) return;
    ++q.depth;
    quiet_ = true;
}

quiet_standard_error::~quiet_standard_error() {
    error_quieting& q = quieting();
    if (quiet_ && --q.depth == 0) ::dup2(q.saved, STDERR_FILENO);
}

}  // namespace nbz::cli
