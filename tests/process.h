#pragma once
// Runs a built command as a child process, with its standard output captured
// and a time limit, so a command that hangs fails its test instead of the run.

#ifdef _WIN32
#include "windows_process.h"
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace nbz::testing {

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
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        const int null_in = ::open("/dev/null", O_RDONLY);
        ::dup2(null_in, STDIN_FILENO);
        if (in_child) in_child();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
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
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int wstatus = 0;
    for (;;) {
        drain();
        if (::waitpid(child.pid, &wstatus, WNOHANG) == child.pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &wstatus, 0);
            result.timed_out = true;
            break;
        }
        ::usleep(2000);
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
