#pragma once
// Removing an unfinished output when a signal ends the process (any whose
// default action ends it, but SIGKILL, and SIGPIPE and SIGXFSZ, which the
// commands ignore), so no partial stream is left behind; and, once the new
// stream is in place, not letting a signal end the run that put it there.
//
// At most one output is armed at a time: the temporary file that a stream is
// written to before it takes the output's name. The handler removes it, then
// lets the signal end the process as it would have without the handler. From
// the moment an output is committed, a signal that was sent (rather than a
// fault of the process itself) is taken and dropped: the run finishes,
// reports and succeeds, as the output tells.

#include <csignal>

namespace nbz::cli {

// Installs the signal handlers, once, on every such signal still at its
// default action: one that the caller ignores stays ignored, and one that a
// runtime (a sanitizer) handles stays its. Called at the start of a process
// that is one run, whose end a commit then decides; in another (a test that
// runs commands in its own process) the handlers are installed at the first
// arming, and a commit leaves signals as they were.
void install_interrupt_cleanup();

// Holds back the signals that can be held (all but the faults) while it
// lives, so that an output is created and armed, or committed, with no
// interruption in between; a signal that came meanwhile is delivered when it
// ends.
class interruptions_held {
public:
    interruptions_held();
    ~interruptions_held();
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;

private:
    sigset_t previous_{};
};

// Arms the cleanup for the temporary file at `path`, or for none if it is
// null (a staged output, which touches the output's name only when it
// commits), for an output not committed yet. Installs the signal handlers if
// need be.
void arm_interrupt_cleanup(const char* path);

// Disarms it: the output was completed or already removed.
void disarm_interrupt_cleanup();

// The output holds the new stream from now on: a sent signal no longer ends
// the run. Call under the same interruptions_held as the rename or the staged
// copy that put the stream in place, so that no signal comes in between;
// arming again undoes it.
void commit_output();

// Removes the file at `path`. Async-signal-safe; the handler and a failed run
// share it.
void remove_partial_output(const char* path);

}  // namespace nbz::cli
