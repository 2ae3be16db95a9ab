// What every command does when a run cannot go ahead, run on each built
// binary: the usage text on a wrong argument count; one message, status 1
// and nothing lost on every fault; a FIFO output whose reader leaves early
// (the run fails) or falls behind (it waits).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "child_process.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

struct command {
    std::string name;
    std::string binary;
    std::string usage;
    std::size_t max_args;
    // Options that keep a run short where the search's quality is not tested.
    std::vector<std::string> quick = {};
};
void PrintTo(const command& c, std::ostream* os) { *os << c.name; }

const command nbz_command{"nbz", NBZ_BINARY,
                          "Usage: nbz Input.raw Output.nbz [dBGain]\n"
                          "Input.raw must be mono signed PCM16.\n"
                          "Output will be aligned to 4 bytes.\n",
                          3};
const command nbzdec_command{"nbzdec", NBZDEC_BINARY,
                             "Usage: nbzdec [options] Input.nbz Output\n"
                             "Decodes to raw mono signed PCM16, or to WAV, FLAC or AIFF with -r HZ.\n"
                             "nbzdec --help lists the options.\n",
                             2};
const command nbzhq_command{"nbzhq",
                            NBZHQ_BINARY,
                            "Usage: nbzhq [options] Input Output.nbz [dBGain]\n"
                            "Input is a WAV, FLAC, AIFF, Ogg or MP3 file, or raw mono signed PCM16.\n"
                            "nbzhq --help lists the options.\n",
                            3,
                            {"-w", "1"}};
const auto all_commands = ::testing::Values(nbz_command, nbzdec_command, nbzhq_command);

class Usage : public ::testing::TestWithParam<command> {};

TEST_P(Usage, WrongArgumentCountPrintsUsageAndCreatesNothing) {
    const command& c = GetParam();
    temp_dir dir;
    write_file(dir / "in", bytes(64, 1));
    std::vector<std::vector<std::string>> counts = {{}, {dir / "in"}};
    counts.push_back({dir / "in", dir / "out"});
    counts.back().resize(c.max_args + 1, "0");
    for (const auto& args : counts) {
        const process_result run = run_process(c.binary, args);
        EXPECT_EQ(run.status, 1) << args.size() << " arguments";
        EXPECT_EQ(run.out, c.usage) << args.size() << " arguments";
        EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, Usage, all_commands, [](const auto& info) { return info.param.name; });

struct failure_case {
    std::string name;
    // Prepares the files in `dir` and returns the arguments.
    std::function<std::vector<std::string>(const temp_dir& dir)> setup;
    std::string message;
    std::function<void()> in_child = {};
};

// What `path` is, and what it holds if it is a regular file.
std::pair<std::filesystem::file_type, bytes> contents(const std::string& path) {
    const std::filesystem::file_type type = std::filesystem::status(path).type();
    return {type, type == std::filesystem::file_type::regular ? read_file(path) : bytes{}};
}
void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class Fails : public ::testing::TestWithParam<std::tuple<command, failure_case>> {};

TEST_P(Fails, WithItsMessageStatusOneAndNothingLost) {
    const auto& [cmd, c] = GetParam();
    temp_dir dir;
    const bytes input(200000, 0x35);
    write_file(dir / "in", input);
    std::vector<std::string> args = cmd.quick;
    std::ranges::copy(c.setup(dir), std::back_inserter(args));
    const auto before = contents(dir / "out");
    const process_result run = run_process(cmd.binary, args, {}, c.in_child);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.message + "\n");
    EXPECT_EQ(read_file(dir / "in"), input);
    EXPECT_EQ(contents(dir / "out"), before);
    EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{});
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

const auto faults =
    ::testing::Values(failure_case{"missing_input",
                                   [](const temp_dir& d) {
                                       return std::vector{d / "nope", d / "out"};
                                   },
                                   "Couldn't open input file."},
                      failure_case{"output_directory_missing",
                                   [](const temp_dir& d) {
                                       return std::vector{d / "in", d / "no/out"};
                                   },
                                   "Couldn't open output file."},
                      failure_case{"same_path",
                                   [](const temp_dir& d) {
                                       return std::vector{d / "in", d / "in"};
                                   },
                                   "Input and output must be different files."},
                      failure_case{"hard_link",
                                   [](const temp_dir& d) {
                                       std::filesystem::create_hard_link(d / "in", d / "out");
                                       return std::vector{d / "in", d / "out"};
                                   },
                                   "Input and output must be different files."},
                      failure_case{"symbolic_link",
                                   [](const temp_dir& d) {
                                       std::filesystem::create_symlink(d / "in", d / "out");
                                       return std::vector{d / "in", d / "out"};
                                   },
                                   "Input and output must be different files."},
                      failure_case{"directory_input",
                                   [](const temp_dir& d) {
                                       return std::vector{d.path().string(), d / "out"};
                                   },
                                   "Input file must be a regular file."},
                      failure_case{"fifo_input",
                                   [](const temp_dir& d) {
                                       ::mkfifo((d / "fifo").c_str(), 0600);
                                       return std::vector{d / "fifo", d / "out"};
                                   },
                                   "Input file must be a regular file."},
                      failure_case{"device_input",
                                   [](const temp_dir& d) {
                                       return std::vector<std::string>{"/dev/zero", d / "out"};
                                   },
                                   "Input file must be a regular file."},
                      failure_case{"full_disk",
                                   [](const temp_dir& d) {
                                       return std::vector<std::string>{d / "in", "/dev/full"};
                                   },
                                   "Couldn't write output file."},
                      failure_case{"file_size_limit",
                                   [](const temp_dir& d) {
                                       write_file(d / "out", bytes(10, 0x77));
                                       return std::vector{d / "in", d / "out"};
                                   },
                                   "Couldn't write output file.",
                                   [] {
                                       const rlimit limit{16384, 16384};
                                       ::setrlimit(RLIMIT_FSIZE, &limit);
                                   }},
                      failure_case{"output_name_too_long",
                                   [](const temp_dir& d) {
                                       return std::vector{d / "in", d / std::string(300, 'o')};
                                   },
                                   "Couldn't open output file."},
                      failure_case{"output_not_synced",
                                   [](const temp_dir& d) {
                                       write_file(d / "out", bytes(10, 0x77));
                                       return std::vector{d / "in", d / "out"};
                                   },
                                   "Couldn't write output file.", preloading(built_file(FSYNC_FAILS_SHIM))},
                      failure_case{"fifo_output_without_reader",
                                   [](const temp_dir& d) {
                                       ::mkfifo((d / "out").c_str(), 0600);
                                       return std::vector{d / "in", d / "out"};
                                   },
                                   "Couldn't open output file."},
                      failure_case{"standard_output",
                                   [](const temp_dir& d) {
                                       return std::vector<std::string>{d / "in", "/dev/stdout"};
                                   },
                                   "Output and standard output must be different files."});

INSTANTIATE_TEST_SUITE_P(Faults, Fails, ::testing::Combine(all_commands, faults), [](const auto& info) {
    return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
});

class Outputs : public ::testing::TestWithParam<command> {};

TEST_P(Outputs, AFifoReaderThatLeavesEarlyFailsTheWrite) {
    const command& c = GetParam();
    temp_dir dir;
    write_file(dir / "in", bytes(std::size_t{1} << 20, 0x35));  // more output than a pipe holds
    ::mkfifo((dir / "out").c_str(), 0600);
    const int reader = ::open((dir / "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::vector<std::string> args = c.quick;
    args.insert(args.end(), {dir / "in", dir / "out"});
    const child_process child = start_process(c.binary, args);
    pollfd first_bytes{reader, POLLIN, 0};
    EXPECT_EQ(::poll(&first_bytes, 1, 20000), 1);
    ::close(reader);
    const process_result run = finish_process(child);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Couldn't write output file.\n");
}

TEST_P(Outputs, AFifoReaderThatFallsBehindGetsTheWholeStream) {
    const command& c = GetParam();
    temp_dir dir;
    write_file(dir / "in", bytes(std::size_t{1} << 16, 0x35));
    std::vector<std::string> args = c.quick;
    args.insert(args.end(), {dir / "in", dir / "reference"});
    ASSERT_EQ(run_process(c.binary, args).status, 0);
    ::mkfifo((dir / "out").c_str(), 0600);
    const int reader = ::open((dir / "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);  // a pipe that holds less than the output
    args.back() = dir / "out";
    const child_process child = start_process(c.binary, args);
    pollfd ready{reader, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 20000), 1);
    // The pipe fills meanwhile: the writer must wait, not fail.
    std::this_thread::sleep_for(std::chrono::milliseconds{200});
    bytes received;
    std::array<unsigned char, 65536> buffer{};
    for (ssize_t n = 1; n != 0 && ::poll(&ready, 1, 20000) == 1;) {
        n = ::read(reader, buffer.data(), buffer.size());
        if (n > 0) received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    ::close(reader);
    const process_result run = finish_process(child);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(received, read_file(dir / "reference"));
}

INSTANTIATE_TEST_SUITE_P(Commands, Outputs, all_commands, [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace nbz::testing
