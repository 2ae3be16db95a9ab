#include "interrupts.h"

#include <windows.h>

namespace nbz::cli {
namespace {

// A slim lock needs no destructor, so it stays valid while the process ends
// with the handler holding it.
SRWLOCK events_lock = SRWLOCK_INIT;
std::wstring armed_path;  // empty when nothing is armed
bool committed = false;

BOOL WINAPI on_console_event(DWORD event) {
    ::AcquireSRWLockExclusive(&events_lock);
    if (committed) {
        ::ReleaseSRWLockExclusive(&events_lock);
        // Ctrl-C and Ctrl-Break are taken. After the others the system ends
        // the process as the handler returns, so it does not return: the run
        // ends the process itself once it has reported, within the time the
        // system gives.
        if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
        ::Sleep(INFINITE);
    }
    if (!armed_path.empty()) {
        ::DeleteFileW(armed_path.c_str());
        armed_path.clear();
    }
    // Ends at once with the status the system's own handler gives, as a
    // signal would end a POSIX process: no exit handlers run, nothing is
    // reported, and the lock stays held until the end.
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

void install_console_cleanup() {
    static const bool installed = ::SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    static_cast<void>(installed);
}

console_events_held::console_events_held() { ::AcquireSRWLockExclusive(&events_lock); }

console_events_held::~console_events_held() { ::ReleaseSRWLockExclusive(&events_lock); }

void arm_console_cleanup(const std::wstring& path) {
    armed_path = path;
    committed = false;
}

void disarm_console_cleanup() { armed_path.clear(); }

void commit_console_output() { committed = true; }

}  // namespace nbz::cli
