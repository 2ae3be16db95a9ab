// What every command promises alike, run on each built binary: the usage
// text on a wrong argument count; one message, status 1 and nothing lost on
// every fault; and an output that is replaced whole or not at all.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "process.h"
#include "sound_files.h"
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

TEST(Replacement, RefusesTheFileThatStandardOutputGoesToButNotADevice) {
    temp_dir dir;
    write_file(dir / "in", bytes(4000, 0x35));
    const std::string message = "Output and standard output must be different files.\n";
    const struct {
        std::string standard_output;
        int status;
        bytes report;
    } cases[] = {{dir / "report", 1, bytes(message.begin(), message.end())}, {"/dev/null", 0, {}}};
    for (const auto& c : cases) {
        const process_result run = run_process(NBZ_BINARY, {dir / "in", "/dev/stdout"}, {}, [&] {
            ::dup2(::open(c.standard_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        });
        EXPECT_EQ(run.status, c.status) << c.standard_output;
        EXPECT_EQ(read_file(c.standard_output), c.report) << c.standard_output;
    }
}

TEST(Replacement, WritesTheFileThatTheNameLeadsToWithItsPermissions) {
    temp_dir dir;
    write_file(dir / "in", bytes(4000, 0x35));
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "in", dir / "reference"}).status, 0);
    const bytes stream = read_file(dir / "reference");
    std::filesystem::create_directory(dir / "sub");
    // The runs' working folder, with a file where a relative link would
    // lead from there rather than from its own folder.
    std::filesystem::create_directories(dir / "elsewhere/sub");
    write_file(dir / "elsewhere/sub/target", bytes(9, 2));
    const std::string longest(NAME_MAX, 'n');
    const struct {
        const char* name;
        std::function<void(const temp_dir&)> setup;
        std::string file;  // where the stream must land
        mode_t umask;
        std::filesystem::perms perms;
        std::string output = "out";
    } cases[] = {
        {"new file", [](const temp_dir&) {}, "out", 027, std::filesystem::perms{0640}},
        {"name of NAME_MAX bytes", [](const temp_dir&) {}, longest, 022, std::filesystem::perms{0644}, longest},
        {"earlier file",
         [](const temp_dir& d) {
             write_file(d / "out", bytes(9, 1));
             std::filesystem::permissions(d / "out", std::filesystem::perms{0745});
         },
         "out", 077, std::filesystem::perms{0745}},
        {"symbolic link",
         [](const temp_dir& d) {
             write_file(d / "sub/target", bytes(9, 1));
             std::filesystem::permissions(d / "sub/target", std::filesystem::perms{0660});
             std::filesystem::create_symlink("sub/target", d / "out");
         },
         "sub/target", 022, std::filesystem::perms{0660}},
    };
    for (const auto& c : cases) {
        c.setup(dir);
        const mode_t mask = c.umask;
        const process_result run =
            run_process(NBZ_BINARY, {dir / "in", dir / c.output}, dir / "elsewhere", [mask] { ::umask(mask); });
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_EQ(read_file(dir / c.file), stream) << c.name;
        EXPECT_EQ(std::filesystem::status(dir / c.file).permissions(), c.perms) << c.name;
        EXPECT_EQ(std::filesystem::is_symlink(dir / c.output), c.file != c.output) << c.name;
        EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{}) << c.name;
        EXPECT_EQ(unfinished_outputs(dir / "sub"), std::vector<std::string>{}) << c.name;
        std::filesystem::remove(dir / c.output);
        std::filesystem::remove(dir / "sub/target");
    }
    EXPECT_EQ(read_file(dir / "elsewhere/sub/target"), bytes(9, 2));
}

// Waits until the process has written something.
bool wait_for_writes(pid_t pid) {
    return wait_until([pid] {
        std::ifstream io("/proc/" + std::to_string(pid) + "/io");
        for (std::string key, value; io >> key >> value;) {
            if (key == "wchar:" && value != "0") return true;
        }
        return false;
    });
}

// Waits until the output shim has left the mark `name` in `dir`.
bool wait_for_mark(const temp_dir& dir, const std::string& name) {
    return wait_until([&] { return std::filesystem::exists(dir / name); });
}

enum class outcome { success, failure, interrupted, final_copy_fails };

// What the output shim does to a run that must still succeed.
enum class ordeal {
    none,
    signal_at_commit,  // SIGINT just after the rename, or in the staged copy
    staging_full,      // the staging folder holds 512 bytes
};

struct folder_case {
    std::string name;
    mode_t folder_mode;
    outcome how;
    bool new_file;       // a success puts a new file under the name, else it writes over the earlier one
    bool tmpdir = true;  // TMPDIR names a folder that the user may write
    ordeal trial = ordeal::none;
    bool wav = false;  // nbzdec writes a WAV, whose header it writes again at the end
};
void PrintTo(const folder_case& c, std::ostream* os) { *os << c.name; }

class OrdinaryUser : public ::testing::TestWithParam<folder_case> {};

// The earlier output belongs to root (when the tests run as root) and may be
// written by all; the command runs as nobody.
TEST_P(OrdinaryUser, KeepsOrReplacesWholeAFileOfAnotherUser) {
    namespace fs = std::filesystem;
    const folder_case& c = GetParam();
    temp_dir dir;
    fs::permissions(dir.path(), fs::perms{0777});  // also the ordinary user's TMPDIR
    const std::string command = c.wav ? NBZDEC_BINARY : NBZ_BINARY;
    const std::string binary = reachable_by_ordinary_user(command, dir.path());
    const std::string shim = reachable_by_ordinary_user(FSYNC_FAILS_SHIM, dir.path());
    const std::string output_shim = reachable_by_ordinary_user(OUTPUT_SHIM, dir.path());
    if (binary.empty() || shim.empty() || output_shim.empty())
        GTEST_SKIP() << "nobody cannot reach " << dir.path() << ": set TMPDIR to a folder open to all";
    if (c.folder_mode & S_ISVTX && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    const bool long_run = c.how == outcome::interrupted;
    const bool replaced = c.how == outcome::success;
    const std::vector<std::string> options =
        c.wav ? std::vector<std::string>{"-r", "8000"} : std::vector<std::string>{};
    const std::string out = dir / (c.wav ? "f/out.wav" : "f/out");
    const auto arguments = [&](const std::string& output) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {dir / "in", output});
        return args;
    };
    write_file(dir / "in", bytes(4000, 0x35));
    const std::string reference_file = dir / (c.wav ? "reference.wav" : "reference");
    const process_result reference = run_process(command, arguments(reference_file));
    ASSERT_EQ(reference.status, 0);
    fs::create_directory(dir / "staging");
    fs::permissions(dir / "staging", fs::perms{0777});
    if (long_run) fs::resize_file(dir / "in", std::uint64_t{2} << 30);
    const bytes earlier(long_run ? 9 : 5000, 0x61);  // longer than the new stream, but for a long run
    fs::create_directory(dir / "f");
    write_file(out, earlier);
    fs::permissions(out, fs::perms{0646});
    fs::permissions(dir / "f", fs::perms{c.folder_mode});
    struct stat before {};
    ASSERT_EQ(::stat(out.c_str(), &before), 0);

    const child_process child = start_process(binary, arguments(out), {}, [&] {
        as_ordinary_user();
        ::setenv("TMPDIR", c.tmpdir ? (dir / "staging").c_str() : "/nonexistent", 1);
        const rlimit limit{512, 512};
        if (c.how == outcome::failure) ::setrlimit(RLIMIT_FSIZE, &limit);
        if (c.how == outcome::final_copy_fails) preloading(shim)();
        if (c.trial != ordeal::none) preloading(output_shim)();
        ::setenv("NBZ_SHIM_MARKS", dir.path().c_str(), 1);
        if (c.trial == ordeal::signal_at_commit) ::setenv("NBZ_SHIM_HOLD", out.c_str(), 1);
        if (c.trial == ordeal::staging_full) ::setenv("NBZ_SHIM_FULL", (dir / "staging").c_str(), 1);
    });
    if (long_run) {
        EXPECT_TRUE(wait_for_writes(child.pid));
        ::kill(child.pid, SIGINT);
    }
    if (c.trial == ordeal::signal_at_commit) {
        EXPECT_TRUE(wait_for_mark(dir, "held"));
        ::kill(child.pid, SIGINT);
        write_file(dir / "go", {});
    }
    const process_result run = finish_process(child);
    EXPECT_EQ(run.status, replaced ? 0 : long_run ? -1 : 1);
    EXPECT_EQ(run.signal, long_run ? SIGINT : 0);
    // What the run prints and leaves, in the order of `outcome`.
    const std::string messages[] = {reference.out, "Couldn't write output file.\n", "",
                                    "Couldn't write output file: copying the finished stream into it failed, and it "
                                    "is now empty.\n"};
    const bytes contents[] = {read_file(reference_file), earlier, earlier, {}};
    EXPECT_EQ(run.out, messages[static_cast<int>(c.how)]);
    EXPECT_EQ(read_file(out), contents[static_cast<int>(c.how)]);
    struct stat after {};
    ASSERT_EQ(::stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0646U);
    EXPECT_EQ(after.st_ino != before.st_ino, replaced && c.new_file);
    EXPECT_EQ(after.st_uid, replaced && c.new_file ? ::geteuid() == 0 ? nobody : ::geteuid() : before.st_uid);
    EXPECT_EQ(unfinished_outputs(dir / "f"), std::vector<std::string>{});
    fs::permissions(dir / "f", fs::perms{0755});  // so that it can be cleaned up
}

INSTANTIATE_TEST_SUITE_P(
    Folders, OrdinaryUser,
    ::testing::Values(
        folder_case{"shared_success", 0777, outcome::success, true},
        folder_case{"shared_failure", 0777, outcome::failure, true},
        folder_case{"shared_interrupted", 0777, outcome::interrupted, true},
        folder_case{"sticky_success", 01777, outcome::success, false},
        folder_case{"sticky_failure", 01777, outcome::failure, false},
        folder_case{"read_only_success", 0555, outcome::success, false},
        folder_case{"read_only_success_without_tmpdir", 0555, outcome::success, false, false},
        folder_case{"read_only_failure", 0555, outcome::failure, false},
        folder_case{"read_only_interrupted", 0555, outcome::interrupted, false},
        folder_case{"read_only_final_copy_fails", 0555, outcome::final_copy_fails, false},
        folder_case{"shared_signalled_at_rename", 0777, outcome::success, true, true, ordeal::signal_at_commit},
        folder_case{"read_only_signalled_in_copy", 0555, outcome::success, false, true, ordeal::signal_at_commit},
        folder_case{"read_only_wav_success", 0555, outcome::success, false, true, ordeal::none, true},
        folder_case{"read_only_wav_staging_full", 0555, outcome::success, false, true, ordeal::staging_full, true}),
    [](const auto& info) { return info.param.name; });

// The ordinary user's copies into a file of a read-only folder: the first
// run is held in its copy until the second comes to copy too, which must
// then wait for it rather than copy over a half-done copy.
TEST(Replacement, StagedCopiesIntoOneFileTakeTurns) {
    namespace fs = std::filesystem;
    temp_dir dir;
    fs::permissions(dir.path(), fs::perms{0777});
    const std::string binary = reachable_by_ordinary_user(NBZ_BINARY, dir.path());
    const std::string shim = reachable_by_ordinary_user(OUTPUT_SHIM, dir.path());
    if (binary.empty() || shim.empty())
        GTEST_SKIP() << "nobody cannot reach " << dir.path() << ": set TMPDIR to a folder open to all";
    bytes long_input(std::size_t{1} << 20);  // a stream of four copy buffers
    for (std::size_t i = 0; i < long_input.size(); ++i) long_input[i] = static_cast<unsigned char>(i * 7919 >> 3);
    write_file(dir / "long", long_input);
    write_file(dir / "short", bytes(40000, 0x35));
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "long", dir / "long.nbz"}).status, 0);
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "short", dir / "short.nbz"}).status, 0);
    fs::create_directory(dir / "f");
    const std::string out = dir / "f/out";
    write_file(out, bytes(9, 1));
    fs::permissions(out, fs::perms{0666});
    fs::permissions(dir / "f", fs::perms{0555});
    const auto with_shim = [&](const char* behaviour) {
        return [&, behaviour] {
            as_ordinary_user();
            ::setenv("TMPDIR", dir.path().c_str(), 1);
            preloading(shim)();
            ::setenv("NBZ_SHIM_MARKS", dir.path().c_str(), 1);
            ::setenv(behaviour, out.c_str(), 1);
        };
    };
    const child_process first = start_process(binary, {dir / "long", out}, {}, with_shim("NBZ_SHIM_HOLD"));
    EXPECT_TRUE(wait_for_mark(dir, "held"));
    const child_process second = start_process(binary, {dir / "short", out}, {}, with_shim("NBZ_SHIM_GO_AT_LOCK"));
    EXPECT_EQ(finish_process(first).status, 0);
    EXPECT_EQ(finish_process(second).status, 0);
    EXPECT_EQ(read_file(out), read_file(dir / "short.nbz"));
    fs::permissions(dir / "f", fs::perms{0755});
}

// Root writing through another user's link in a sticky folder, as the
// kernel would not let it (fs.protected_symlinks), on each way of writing an
// output; and the ordinary user through the folder owner's link, as it
// would.
TEST(Replacement, FollowsALinkInAStickyFolderOnlyAsTheKernelWould) {
    namespace fs = std::filesystem;
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
    temp_dir dir;
    fs::permissions(dir.path(), fs::perms{0777});
    const std::string binary = reachable_by_ordinary_user(NBZ_BINARY, dir.path());
    if (binary.empty()) GTEST_SKIP() << "nobody cannot reach " << dir.path() << ": set TMPDIR to a folder open to all";
    write_file(dir / "in", bytes(4000, 0x35));
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "in", dir / "reference"}).status, 0);
    for (const char* folder : {"sticky", "shared", "read_only"}) fs::create_directory(dir / folder);
    fs::permissions(dir / "sticky", fs::perms{01777});
    fs::permissions(dir / "shared", fs::perms{0777});
    const uid_t other = nobody - 1;
    const struct {
        const char* name;
        std::string target;
        uid_t link_owner;
        bool as_nobody;
        bool followed;
    } cases[] = {
        {"replaced", dir / "shared/file", nobody, false, false},
        {"staged", dir / "read_only/file", other, true, false},
        {"direct", "/dev/null", nobody, false, false},
        {"the folder owner's", dir / "shared/file", 0, true, true},
    };
    const bytes earlier(9, 1);
    for (const auto& c : cases) {
        if (c.target != "/dev/null") {
            write_file(c.target, earlier);
            fs::permissions(c.target, fs::perms{0666});
        }
        fs::permissions(dir / "read_only", fs::perms{0555});
        const std::string link = dir / "sticky/out";
        fs::create_symlink(c.target, link);
        ASSERT_EQ(::lchown(link.c_str(), c.link_owner, c.link_owner), 0);
        const process_result run =
            run_process(binary, {dir / "in", link}, {}, c.as_nobody ? as_ordinary_user : std::function<void()>{});
        EXPECT_EQ(run.status, c.followed ? 0 : 1) << c.name;
        if (!c.followed) {
            EXPECT_EQ(run.out, "Couldn't open output file.\n") << c.name;
        }
        if (c.target != "/dev/null") {
            EXPECT_EQ(read_file(c.target), c.followed ? read_file(dir / "reference") : earlier) << c.name;
        }
        EXPECT_TRUE(fs::is_symlink(link)) << c.name;
        fs::remove(link);
        fs::permissions(dir / "read_only", fs::perms{0755});
    }
}

// A run started with standard input, output or error closed: no file of the
// run takes the number (the input would be quietened away as standard
// error, the report written into it as standard output), and the run
// succeeds.
TEST(Replacement, ClosedStandardDescriptorsAreNotTakenByTheRunsFiles) {
    temp_dir dir;
    std::vector<std::int32_t> tone(8000);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<std::int32_t>((i % 50) << 24);
    ASSERT_TRUE(write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, tone));
    write_file(dir / "in.raw", bytes(4000, 0x35));
    const struct {
        std::string binary;
        std::vector<std::string> args;
        std::vector<int> closed;
    } cases[] = {
        {NBZHQ_BINARY, {"-w", "1", dir / "in.wav"}, {STDERR_FILENO}},
        {NBZHQ_BINARY, {"-w", "1", dir / "in.wav"}, {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}},
        {NBZ_BINARY, {dir / "in.raw"}, {STDOUT_FILENO}},
        {NBZDEC_BINARY, {dir / "in.raw"}, {STDIN_FILENO}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(dir / "reference");
        const process_result reference = run_process(c.binary, args);
        ASSERT_EQ(reference.status, 0);
        args.back() = dir / "out";
        const process_result run = run_process(c.binary, args, {}, [&] {
            for (const int fd : c.closed) ::close(fd);
        });
        const bool report_seen = std::ranges::find(c.closed, STDOUT_FILENO) == c.closed.end();
        EXPECT_EQ(run.status, 0) << c.binary << " " << c.closed.size();
        EXPECT_EQ(run.out, report_seen ? reference.out : "") << c.binary << " " << c.closed.size();
        EXPECT_EQ(read_file(dir / "out"), read_file(dir / "reference")) << c.binary << " " << c.closed.size();
    }
}

TEST(Replacement, LeavesAFileThatTheUserMayNotWrite) {
    temp_dir dir;
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms{0777});
    const std::string binary = reachable_by_ordinary_user(NBZ_BINARY, dir.path());
    if (binary.empty()) GTEST_SKIP() << "nobody cannot reach " << dir.path() << ": set TMPDIR to a folder open to all";
    write_file(dir / "in", bytes(4000, 0x35));
    write_file(dir / "out", bytes(9, 1));
    // The user's own file, but read-only.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((dir / "out").c_str(), nobody, nobody), 0);
    }
    fs::permissions(dir / "out", fs::perms{0444});
    const process_result run = run_process(binary, {dir / "in", dir / "out"}, {}, as_ordinary_user);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Couldn't open output file.\n");
    EXPECT_EQ(read_file(dir / "out"), bytes(9, 1));
}

TEST(NbzdecOutputs, AContainerItCannotCompleteIsRefusedBeforeAnythingIsWritten) {
    temp_dir dir;
    write_file(dir / "in", bytes(4000, 0x35));
    ::mkfifo((dir / "pipe.flac").c_str(), 0600);
    const int reader = ::open((dir / "pipe.flac").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const struct {
        std::string rate;
        std::string output;
        std::string message;  // empty for a success
    } cases[] = {
        {"655351", "high.flac",
         "A FLAC output stores sample rates up to 655350 Hz: give a lower -r, or name a WAV or AIFF output."},
        {"655350", "highest.flac", ""},
        {"8000", "pipe.flac",
         "Couldn't write output file: a WAV, FLAC or AIFF output must be a file that can be rewound."},
    };
    for (const auto& c : cases) {
        const process_result run = run_process(NBZDEC_BINARY, {"-r", c.rate, dir / "in", dir / c.output});
        EXPECT_EQ(run.status, c.message.empty() ? 0 : 1) << c.output;
        if (!c.message.empty()) {
            EXPECT_EQ(run.out, c.message + "\n") << c.output;
        }
        EXPECT_EQ(std::filesystem::exists(dir / c.output), c.message.empty() || c.output == "pipe.flac") << c.output;
    }
    char byte = 0;
    EXPECT_EQ(::read(reader, &byte, 1), 0);  // the writer is gone and wrote nothing
    ::close(reader);
}

TEST(Replacement, ConcurrentRunsEachLeaveAWholeStream) {
    temp_dir dir;
    bytes long_input(4000000);
    for (std::size_t i = 0; i < long_input.size(); ++i) long_input[i] = static_cast<unsigned char>(i * 7919 >> 3);
    write_file(dir / "long", long_input);
    write_file(dir / "short", bytes(40000, 0x35));
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "long", dir / "long.nbz"}).status, 0);
    ASSERT_EQ(run_process(NBZ_BINARY, {dir / "short", dir / "short.nbz"}).status, 0);
    const bytes long_stream = read_file(dir / "long.nbz");
    const bytes short_stream = read_file(dir / "short.nbz");
    for (int round = 0; round < 4; ++round) {
        const child_process first = start_process(NBZ_BINARY, {dir / "long", dir / "same.nbz"});
        const child_process second = start_process(NBZ_BINARY, {dir / "short", dir / "same.nbz"});
        EXPECT_EQ(finish_process(first).status, 0);
        EXPECT_EQ(finish_process(second).status, 0);
        const bytes result = read_file(dir / "same.nbz");
        EXPECT_TRUE(result == long_stream || result == short_stream) << "round " << round;
    }
    EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace nbz::testing
