// The commands run as an ordinary user (nobody, when the tests run as root)
// over another user's files: in a shared, a sticky and a read-only folder, a
// run that succeeds, fails or is interrupted keeps or replaces the file
// whole; staged copies into one file take turns; links in a sticky folder
// are followed only as the kernel would.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

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

}  // namespace
}  // namespace nbz::testing
