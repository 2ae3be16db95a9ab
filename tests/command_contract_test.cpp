// What every command promises alike, run on each built binary: the usage
// text on a wrong argument count, and one message, status 1 and nothing lost
// on every fault.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "process.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

struct command {
    std::string name;
    std::string binary;
    std::string usage;
    std::size_t max_args;
};
void PrintTo(const command& c, std::ostream* os) { *os << c.name; }

const command nbz_command{"nbz", NBZ_BINARY,
                          "Usage: nbz Input.raw Output.nbz [dBGain]\n"
                          "Input.raw must be mono signed PCM16.\n"
                          "Output will be aligned to 4 bytes.\n",
                          3};
const command nbzdec_command{"nbzdec", NBZDEC_BINARY,
                             "Usage: nbzdec Input.nbz Output.raw\n"
                             "Decodes a stream written by nbz to mono signed PCM16.\n",
                             2};
const command nbzhq_command{"nbzhq", NBZHQ_BINARY,
                            "Usage: nbzhq Input.raw Output.nbz [dBGain]\n"
                            "Input.raw must be mono signed PCM16.\n"
                            "Output will be aligned to 4 bytes.\n",
                            3};
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
    bool output_may_exist = false;  // a device, or the input itself
};
void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class Fails : public ::testing::TestWithParam<std::tuple<command, failure_case>> {};

TEST_P(Fails, WithItsMessageStatusOneAndNothingLost) {
    const auto& [cmd, c] = GetParam();
    temp_dir dir;
    const bytes input(200000, 0x35);
    write_file(dir / "in", input);
    const process_result run = run_process(cmd.binary, c.setup(dir));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.message + "\n");
    EXPECT_EQ(read_file(dir / "in"), input);
    if (!c.output_may_exist) {
        EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    }
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

const auto faults = ::testing::Values(failure_case{"missing_input",
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
                                                   "Input and output must be different files.", true},
                                      failure_case{"hard_link",
                                                   [](const temp_dir& d) {
                                                       std::filesystem::create_hard_link(d / "in", d / "out");
                                                       return std::vector{d / "in", d / "out"};
                                                   },
                                                   "Input and output must be different files.", true},
                                      failure_case{"symbolic_link",
                                                   [](const temp_dir& d) {
                                                       std::filesystem::create_symlink(d / "in", d / "out");
                                                       return std::vector{d / "in", d / "out"};
                                                   },
                                                   "Input and output must be different files.", true},
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
                                                   "Couldn't write output file."});

INSTANTIATE_TEST_SUITE_P(Faults, Fails, ::testing::Combine(all_commands, faults), [](const auto& info) {
    return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
});

}  // namespace
}  // namespace nbz::testing
