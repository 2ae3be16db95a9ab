#pragma once
// Runs a built command as a child process, with its standard output captured
// and a time limit, so a command that hangs fails its test instead of the run.

#include <chrono>
#include <functional>
#include <thread>

namespace nbz::testing {

// Polls `condition` (a child's output, a file it makes) every 2 ms until it
// holds, for at most `limit`; whether it held.
inline bool wait_until(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds{20}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
}

}  // namespace nbz::testing

#ifdef _WIN32
#include "windows_process.h"
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace nbz::testing {

// A built file (a command, the test shim) where the tests run it: itself,
// or, for a run of the tests as a user that cannot reach the build, its copy
// in the folder NBZ_TEST_COMMANDS.
inline std::string built_file(const std::string& path) {
    const char* copies = std::getenv("NBZ_TEST_COMMANDS");
    if (copies == nullptr || *copies == '\0' || ::access(path.c_str(), X_OK) == 0) return path;
    return (std::filesystem::path{copies} / std::filesystem::path{path}.filename()).string();
}

// Root may write everything, so the tests of permissions run the commands as
// this ordinary user.
inline constexpr uid_t nobody = 65534;

// For in_child: becomes nobody if the tests run as root.
inline void as_ordinary_user() {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
        ::_exit(125);
}

// Whether the ordinary user may open `path` as `access_mode` (R_OK, X_OK...).
inline bool ordinary_user_may(const std::string& path, int access_mode) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        as_ordinary_user();
        ::_exit(::access(path.c_str(), access_mode) == 0 ? 0 : 1);
    }
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `path` (a built file) where the ordinary user can run or load it: itself,
// or else a copy in `folder`. Empty if that user cannot work in `folder` or
// reach either, for the test to skip.
inline std::string reachable_by_ordinary_user(const std::string& path, const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    if (!ordinary_user_may(folder.string(), W_OK | X_OK)) return {};
    std::string built = built_file(path);
    if (ordinary_user_may(built, X_OK)) return built;
    const fs::path copy = folder / fs::path{built}.filename();
    std::error_code ec;
    fs::copy_file(built, copy, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(copy, fs::perms{0755}, ec);
    return !ec && ordinary_user_may(copy.string(), X_OK) ? copy.string() : std::string{};
}

// For in_child: preloads a shim (FSYNC_FAILS_SHIM, OUTPUT_SHIM). The shim
// comes before a sanitizer's runtime, which must then not insist on being
// first.
inline std::function<void()> preloading(const std::string& shim) {
    return [shim] {
        ::setenv("LD_PRELOAD", shim.c_str(), 1);
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string{asan != nullptr ? asan : ""} + ":verify_asan_link_order=0";
        ::setenv("ASAN_OPTIONS", options.c_str(), 1);
    };
}

struct process_result {
    int status = -1;  // exit status, or -1 if it did not exit normally
    int signal = 0;   // the signal that ended it, if one did
    bool timed_out = false;
    std::string out;
};

struct child_process {
    pid_t pid = -1;
    int out_fd = -1;
};

// `in_child`, if given, runs in the child just before the program, with
// standard output already on the pipe: to set limits, signals or the umask.
inline child_process start_process(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& cwd = {}, const std::function<void()>& in_child = {}) {
    const std::string path = built_file(program);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        const int null_in = ::open("/dev/null", O_RDONLY);
        ::dup2(null_in, STDIN_FILENO);
        // The program starts as from a shell: signals that the test runner
        // inherited ignored or blocked (nohup, a background job) are not.
        for (int s = 1; s < NSIG; ++s)
            if (s != SIGKILL && s != SIGSTOP) static_cast<void>(std::signal(s, SIG_DFL));
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (in_child) in_child();
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    ::fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    return {pid, pipe_fds[0]};
}

// Waits for the child to end, killing it after `limit`.
inline process_result finish_process(child_process child, std::chrono::seconds limit = std::chrono::seconds{60}) {
    process_result result;
    const auto drain = [&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(child.out_fd, buffer, sizeof buffer)) > 0)
            result.out.append(buffer, static_cast<std::size_t>(n));
    };
    int wstatus = 0;
    if (!wait_until(
            [&] {
                drain();
                return ::waitpid(child.pid, &wstatus, WNOHANG) == child.pid;
            },
            limit)) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, &wstatus, 0);
        result.timed_out = true;
    }
    drain();
    ::close(child.out_fd);
    if (!result.timed_out && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (!result.timed_out && WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    return result;
}

inline process_result run_process(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& cwd = {}, const std::function<void()>& in_child = {}) {
    return finish_process(start_process(program, args, cwd, in_child), std::chrono::seconds{20});
}

}  // namespace nbz::testing

#endif
