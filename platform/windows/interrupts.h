#pragma once
// Removing a partly written output when the console ends the process (Ctrl-C,
// Ctrl-Break, the console closed, logoff or shutdown), so no truncated stream
// is left behind looking complete.
//
// The console runs its handler on a thread of its own, alongside the run. The
// two exclude each other through one lock: the run creates and arms a
// temporary file, or moves it into place and disarms it, while holding
// console_events_held; the handler takes the lock, removes the armed file,
// and ends the process with STATUS_CONTROL_C_EXIT, as the system would have
// without the handler, the lock still held so that nothing is moved into
// place after the removal. Once the output is committed (moved into place,
// or copied in), the handler no longer ends the process: the run goes on to
// report and succeed, as the output tells.

#include <string>

namespace nbz::cli {

// Installs the handler, once. Events that the process ignores (a child
// started without Ctrl-C, say) stay ignored.
void install_console_cleanup();

// Holds back the console's events while it lives; one that came meanwhile is
// handled when it ends.
class console_events_held {
public:
    console_events_held();
    ~console_events_held();
    console_events_held(const console_events_held&) = delete;
    console_events_held& operator=(const console_events_held&) = delete;
};

// Arms the removal of the file at `path`, a temporary file opened with
// FILE_SHARE_DELETE, or of none if it is empty (a staged output), for an
// output not committed yet. Call while console_events_held lives. At most one
// file is armed at a time.
void arm_console_cleanup(const std::wstring& path);

// Disarms it: the file was moved into place or already removed. Call while
// console_events_held lives.
void disarm_console_cleanup();

// The output holds the new stream from now on. Call under the same
// console_events_held as the move or the staged copy that put it there;
// arming again undoes it.
void commit_console_output();

}  // namespace nbz::cli
