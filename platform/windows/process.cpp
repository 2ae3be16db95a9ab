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

void prepare_process() { install_console_cleanup(); }

bool standard_error_is_terminal() {
    // A console has a mode; a file, a pipe or NUL has none.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

quiet_standard_error::quiet_standard_error() noexcept {
    const int null = ::_open("NUL", _O_WRONLY);
    if (null < 0) return;
    saved_ = ::_dup(2);
    if (saved_ >= 0 && ::_dup2(null, 2) != 0) {
        ::_close(saved_);
        saved_ = -1;
    }
    ::_close(null);
}

quiet_standard_error::~quiet_standard_error() {
    if (saved_ < 0) return;
    ::_dup2(saved_, 2);
    ::_close(saved_);
}

}  // namespace nbz::cli
