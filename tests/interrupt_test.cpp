// An interrupted run removes its partly written output.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "process.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

// Waits until `path` holds some bytes, for at most a few seconds.
bool wait_for_data(const std::string& path) {
    for (int i = 0; i < 5000; ++i) {
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) > 0 && !ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
    return false;
}

class Interrupted : public ::testing::TestWithParam<int> {};

TEST_P(Interrupted, RemovesThePartialOutputAndEndsBySignal) {
    const int signal_number = GetParam();
    temp_dir dir;
    // A sparse input that takes seconds to encode, so the signal lands mid-run.
    const std::uint64_t size = std::uint64_t{2} << 30;
    std::filesystem::resize_file((write_file(dir / "in.raw", {}), dir / "in.raw"), size);
    const child_process child = start_process(NBZ_BINARY, {dir / "in.raw", dir / "out.nbz"});
    ASSERT_TRUE(wait_for_data(dir / "out.nbz"));
    ::kill(child.pid, signal_number);
    const process_result result = finish_process(child);
    EXPECT_EQ(result.signal, signal_number);
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.nbz"));
    EXPECT_EQ(std::filesystem::file_size(dir / "in.raw"), size);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string{sigabbrev_np(info.param)}; });

}  // namespace
}  // namespace nbz::testing
