// An output that is replaced whole or not at all, whatever stands at its
// name: the file that standard output goes to, a link, a name of NAME_MAX
// bytes, closed standard descriptors, a container that could not be
// completed, and two runs that write one output at once.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "sound_files.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

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

// The report comes after the output is committed: when it cannot be
// written, the status says so, and the output holds the whole new stream.
TEST(Replacement, AReportThatCannotBeWrittenFailsTheRunAfterTheOutputIsReplaced) {
    temp_dir dir;
    write_file(dir / "in.raw", bytes(4000, 0x35));
    for (const char* binary : {NBZ_BINARY, NBZHQ_BINARY, NBZDEC_BINARY}) {
        ASSERT_EQ(run_process(binary, {dir / "in.raw", dir / "reference"}).status, 0);
        write_file(dir / "out", {1, 2, 3});
        const process_result run = run_process(binary, {dir / "in.raw", dir / "out"}, {}, [] {
            const int full = ::open("/dev/full", O_WRONLY);
            if (full >= 0) ::dup2(full, STDOUT_FILENO);
        });
        EXPECT_EQ(run.status, 1) << binary;
        EXPECT_EQ(read_file(dir / "out"), read_file(dir / "reference")) << binary;
    }
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
