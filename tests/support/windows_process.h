#pragma once
// Runs a built command as a child process on Windows, with its standard
// output captured and a time limit, as process.h does on POSIX systems.

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "windows/text.h"

namespace nbz::testing {

struct process_result {
    int status = -1;  // exit status, or -1 if it did not end in time
    int signal = 0;   // never set: Windows has no signals
    bool timed_out = false;
    std::string out;      // with CRLF line ends made LF, so that reports compare as on POSIX
    std::string raw_out;  // as written
};

// `argument` quoted so that the child's command-line parser gives it back
// unchanged.
inline std::wstring quoted_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

struct child_process {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE out = nullptr;  // the read end of its standard output
};

// `flags` are CreateProcessW's creation flags (CREATE_NEW_PROCESS_GROUP, say).
inline child_process start_process(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& cwd = {}, DWORD flags = 0) {
    std::wstring command_line = quoted_argument(*cli::wide_from_utf8(program));
    for (const auto& a : args) command_line += L" " + quoted_argument(*cli::wide_from_utf8(a));
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (::CreatePipe(&read_end, &write_end, &inherited, 0) == 0) return {};
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in =
        ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = write_end;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    const std::wstring wide_cwd = cwd.empty() ? std::wstring{} : *cli::wide_from_utf8(cwd);
    const BOOL started = ::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                          wide_cwd.empty() ? nullptr : wide_cwd.c_str(), &startup, &child);
    ::CloseHandle(write_end);
    ::CloseHandle(null_in);
    if (started == 0) {
        ::CloseHandle(read_end);
        return {};
    }
    ::CloseHandle(child.hThread);
    return {child.hProcess, child.dwProcessId, read_end};
}

// Reads the child's output until it ends, killing it after `limit`.
inline process_result finish_process(child_process child, std::chrono::seconds limit = std::chrono::seconds{60}) {
    process_result result;
    if (child.process == nullptr) return result;
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(child.out, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0)
            result.out.append(buffer, got);
    });
    const auto limit_ms = static_cast<DWORD>(std::chrono::milliseconds{limit}.count());
    if (::WaitForSingleObject(child.process, limit_ms) != WAIT_OBJECT_0) {
        ::TerminateProcess(child.process, 1);
        ::WaitForSingleObject(child.process, INFINITE);
        result.timed_out = true;
    }
    reader.join();
    DWORD code = 0;
    if (!result.timed_out && ::GetExitCodeProcess(child.process, &code) != 0) result.status = static_cast<int>(code);
    ::CloseHandle(child.process);
    ::CloseHandle(child.out);
    result.raw_out = result.out;
    for (std::size_t at; (at = result.out.find("\r\n")) != std::string::npos;) result.out.erase(at, 1);
    return result;
}

inline process_result run_process(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& cwd = {}) {
    return finish_process(start_process(program, args, cwd), std::chrono::seconds{20});
}

}  // namespace nbz::testing
