// An interrupted run leaves the earlier output as it was and no temporary
// file behind, whichever signal that would end it comes; a signal that was
// ignored when the run started stays ignored.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "child_process.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// Waits until an unfinished output in `dir` holds some bytes.
bool wait_for_data(const temp_dir& dir) {
    return wait_until([&] {
        for (const std::string& name : unfinished_outputs(dir.path())) {
            std::error_code ec;
            if (std::filesystem::file_size(dir / name, ec) > 0 && !ec) return true;
        }
        return false;
    });
}

// A sparse input of `size` bytes: quick to make, long enough to encode that
// a signal lands mid-run.
void make_input(const std::string& path, std::uint64_t size) {
    write_file(path, {});
    std::filesystem::resize_file(path, size);
}

class Interrupted : public ::testing::TestWithParam<int> {};

TEST_P(Interrupted, LeavesTheEarlierOutputAndEndsBySignal) {
    const int signal_number = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (signal_number == SIGBUS || signal_number == SIGFPE || signal_number == SIGSEGV)
        GTEST_SKIP() << "the address sanitizer's runtime handles this signal itself";
#endif
    temp_dir dir;
    const std::uint64_t size = std::uint64_t{2} << 30;
    make_input(dir / "in.raw", size);
    const bytes earlier = {1, 2, 3};
    write_file(dir / "out.nbz", earlier);
    const child_process child = start_process(NBZ_BINARY, {dir / "in.raw", dir / "out.nbz"}, {}, [] {
        const rlimit no_core{0, 0};  // for the signals that dump one
        ::setrlimit(RLIMIT_CORE, &no_core);
    });
    ASSERT_TRUE(wait_for_data(dir));
    if (::kill(child.pid, signal_number) != 0) {
        // qemu-user keeps the highest real-time signal for itself.
        ::kill(child.pid, SIGKILL);
        static_cast<void>(finish_process(child));
        GTEST_SKIP() << "this system cannot send signal " << signal_number;
    }
    const process_result result = finish_process(child);
    EXPECT_EQ(result.signal, signal_number);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file(dir / "out.nbz"), earlier);
    EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(std::filesystem::file_size(dir / "in.raw"), size);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                                           SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGRTMIN, SIGRTMAX, SIGABRT, SIGBUS, SIGFPE,
                                           SIGSEGV),
                         [](const auto& info) {
                             const char* name = sigabbrev_np(info.param);
                             return name != nullptr ? std::string{name} : "RT" + std::to_string(info.param);
                         });

TEST(IgnoredSignal, StaysIgnoredAndTheRunCompletes) {
    temp_dir dir;
    const std::uint64_t size = std::uint64_t{128} << 20;
    make_input(dir / "in.raw", size);
    const child_process child = start_process(NBZ_BINARY, {dir / "in.raw", dir / "out.nbz"}, {},
                                              [] { static_cast<void>(std::signal(SIGINT, SIG_IGN)); });
    ASSERT_TRUE(wait_for_data(dir));
    ::kill(child.pid, SIGINT);
    const process_result result = finish_process(child);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expected_report(0));
    EXPECT_EQ(std::filesystem::file_size(dir / "out.nbz"), size / 4);
}

}  // namespace
}  // namespace nbz::testing
