#pragma once
// Removing a partly written output when the process is interrupted (SIGINT,
// SIGTERM or SIGHUP), so no truncated stream is left behind looking complete.
//
// At most one output is armed at a time. The handler empties the armed file
// through its descriptor, if it has one, removes its name if the path is the
// file's own (not a symbolic link to it), then lets the signal end the process
// as it would have without the handler.

#include <csignal>

namespace nbz::cli {

// Installs the signal handlers, once; a signal that was ignored when this is
// first called stays ignored. Called before the first output is created.
void install_interrupt_cleanup();

// Holds back the interrupting signals while it lives, so that an output is
// created and armed with no interruption in between; a signal that came
// meanwhile is delivered when it ends.
class interruptions_held {
public:
    interruptions_held();
    ~interruptions_held();
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;

private:
    sigset_t previous_{};
};

// Arms the cleanup for the regular file at `path`, open as `fd` or, with -1,
// removed by name only. Installs the signal handlers if need be.
void arm_interrupt_cleanup(int fd, const char* path, bool path_is_own_name);

// Disarms it: the output was completed or already removed.
void disarm_interrupt_cleanup();

// Empties the file open as `fd` (unless -1) and removes `path` if it is the
// file's own name. Async-signal-safe; the handler and a failed run share it.
void remove_partial_output(int fd, const char* path, bool path_is_own_name);

}  // namespace nbz::cli
