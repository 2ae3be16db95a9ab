#include "interrupts.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace nbz::cli {
namespace {

// What the handlers may touch: plain data, and lock-free flags that say
// whether the rest is valid and whether the output is committed.
struct armed_output {
    std::atomic<bool> armed{false};
    std::atomic<bool> committed{false};
    char path[PATH_MAX] = {};
};

armed_output pending;
bool process_is_one_run = false;

// The signals whose default action ends the process and that another
// process, a terminal or a timer sends at any time. SIGPIPE and SIGXFSZ are
// not among them: the commands ignore those and report the failed write.
constexpr int sent_signals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The ones that a fault of the process raises, though they may also be sent:
// the process cannot go on from them, so they are neither held nor dropped.
constexpr int fault_signals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

template <class F>
void for_each_sent_signal(F f) {
    for (const int s : sent_signals) f(s);
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) f(s);
#endif
}

sigset_t sent_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for_each_sent_signal([&](int s) { sigaddset(&set, s); });
    return set;
}

// Removes the armed output and ends the process by the signal's default
// action, which comes as the handler returns.
void end_by(int signal_number) {
    if (pending.armed.exchange(false)) remove_partial_output(pending.path);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

extern "C" void on_sent_signal(int signal_number) {
    const int saved_errno = errno;
    if (!pending.committed.load()) end_by(signal_number);
    errno = saved_errno;
}

extern "C" void on_fault(int signal_number) { end_by(signal_number); }

void install(int signal_number, void (*handler)(int)) {
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) != 0) return;
    if ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = sent_signal_set();
    // A signal dropped after the commit does not cut short the report's
    // write.
    action.sa_flags = SA_RESTART;
    ::sigaction(signal_number, &action, nullptr);
}

void install_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for_each_sent_signal([](int s) { install(s, on_sent_signal); });
    for (const int s : fault_signals) install(s, on_fault);
}

}  // namespace

void install_interrupt_cleanup() {
    process_is_one_run = true;
    install_handlers();
}

interruptions_held::interruptions_held() {
    const sigset_t held = sent_signal_set();
    ::sigprocmask(SIG_BLOCK, &held, &previous_);
}

interruptions_held::~interruptions_held() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void remove_partial_output(const char* path) { ::unlink(path); }

void arm_interrupt_cleanup(const char* path) {
    install_handlers();
    pending.armed.store(false);
    pending.committed.store(false);
    // A path too long to keep is not armed rather than cut short.
    if (path == nullptr || std::strlen(path) >= sizeof pending.path) return;
    std::strncpy(pending.path, path, sizeof pending.path - 1);
    pending.armed.store(true);
}

void disarm_interrupt_cleanup() { pending.armed.store(false); }

void commit_output() { pending.committed.store(process_is_one_run); }

}  // namespace nbz::cli
