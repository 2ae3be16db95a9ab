// The commands' process on Windows: wide arguments, console events, and
// telling a console from a file or pipe.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform.h"
#include "windows_interrupts.h"
#include "windows_text.h"

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

}  // namespace nbz::cli
