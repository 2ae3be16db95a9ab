#pragma once
// Removing an unfinished output when the process is interrupted (SIGINT,
// SIGTERM or SIGHUP), so no partial stream is left behind.
//
// At most one output is armed at a time: the temporary file that a stream is
// written to before it takes the output's name. The handler removes it, then
// lets the signal end the process as it would have without the handler.

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

// Arms the cleanup for the temporary file at `path`. Installs the signal
// handlers if need be.
void arm_interrupt_cleanup(const char* path);

// Disarms it: the output was completed or already removed.
void disarm_interrupt_cleanup();

// Removes the file at `path`. Async-signal-safe; the handler and a failed run
// share it.
void remove_partial_output(const char* path);

}  // namespace nbz::cli
