#include "interrupts.h"

#include <windows.h>

namespace nbz::cli {
namespace {

// A slim lock needs no destructor, so it stays valid while the process ends
// with the handler holding it.
SRWLOCK events_lock = SRWLOCK_INIT;
std::wstring armed_path;  // empty when nothing is armed

BOOL WINAPI on_console_event(DWORD /*event*/) {
    ::AcquireSRWLockExclusive(&events_lock);
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

void arm_console_cleanup(const std::wstring& path) { armed_path = path; }

void disarm_console_cleanup() { armed_path.clear(); }

}  // namespace nbz::cli
