#include "interrupts.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>

namespace nbz::cli {
namespace {

// What the handler may touch: plain data, and a lock-free flag that says
// whether the rest is valid.
struct armed_output {
    std::atomic<bool> armed{false};
    char path[PATH_MAX] = {};
};

armed_output pending;
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interrupt(int signal_number) {
    if (pending.armed.exchange(false)) remove_partial_output(pending.path);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

void install_interrupt_cleanup() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int s : cleanup_signals) sigaddset(&action.sa_mask, s);
    for (const int s : cleanup_signals) {
        struct sigaction previous {};
        // A signal that the caller set to be ignored stays ignored.
        if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

interruptions_held::interruptions_held() {
    sigset_t held;
    sigemptyset(&held);
    for (const int s : cleanup_signals) sigaddset(&held, s);
    ::sigprocmask(SIG_BLOCK, &held, &previous_);
}

interruptions_held::~interruptions_held() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void remove_partial_output(const char* path) { ::unlink(path); }

void arm_interrupt_cleanup(const char* path) {
    install_interrupt_cleanup();
    pending.armed.store(false);
    // A path too long to keep is not armed rather than cut short.
    if (std::strlen(path) >= sizeof pending.path) return;
    std::strncpy(pending.path, path, sizeof pending.path - 1);
    pending.armed.store(true);
}

void disarm_interrupt_cleanup() { pending.armed.store(false); }

}  // namespace nbz::cli
