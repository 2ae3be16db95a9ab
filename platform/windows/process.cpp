// The commands' process on Windows: wide arguments, console events,
// telling a console from a file or pipe, and a quiet standard error.

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "interrupts.h"
#include "nbz/platform/process.h"
#include "text.h"

namespace nbz::cli {
namespace {

// What the quieting of standard error needs, opened once, at the start of
// the run, so that a run short of descriptors still keeps the decoders'
// notes off standard error.
struct error_quieting {
    int null = ::_open("NUL", _O_WRONLY | _O_NOINHERIT);
    int saved = ::_dup(2);  // the real standard error
    int depth = 0;
};

error_quieting& quieting() {
    static error_quieting descriptors;
    return descriptors;
}

}  // namespace

std::vector<std::string> command_arguments(int /*argc*/, char** /*argv*/) {
    // The narrow argv is in the ANSI code page, which cannot hold every name.
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (wide == nullptr) return args;
    for (int i = 1; i < count; ++i) args.push_back(utf8_from_wide(wide[i]));
    ::LocalFree(static_cast<HLOCAL>(wide));
    return args;
}

void prepare_process() {
    static_cast<void>(quieting());
    install_console_cleanup();
}

bool standard_error_is_terminal() {
    // A console has a mode; a file, a pipe or NUL has none.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

quiet_standard_error::quiet_standard_error() noexcept {
    error_quieting& q = quieting();
    if (q.null < 0 || q.saved < 0) return;
    if (q.depth == 0 && ::_dup2(q.null, 2) != 0) return;
    ++q.depth;
    quiet_ = true;
}

quiet_standard_error::~quiet_standard_error() {
    error_quieting& q = quieting();
    if (quiet_ && --q.depth == 0) ::_dup2(q.saved, 2);
}

}  // namespace nbz::cli
