// Running out of memory at any point of a run: every allocation of the run
// fails in turn (once, or from there on), through a replaced operator new.
// Each command must print "Not enough memory.", return 1 and leave no
// output, whether its files are in memory or on the disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "child_process.h"
#include "failing_allocations.h"
#include "nbz_command.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "signals.h"
#include "temp_files.h"
#include "wav.h"

namespace nbz::testing {
namespace {

// Files in memory; the output records how it ended.
struct output_record {
    std::vector<std::byte> bytes;
    bool opened = false;
    bool closed = false;
    bool discarded = false;
};

class memory_input final : public cli::input_file {
public:
    explicit memory_input(const std::vector<std::byte>& bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    cli::file_identity identity() const override { return {0, 1}; }
    std::size_t read(std::span<std::byte> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
        position_ += n;
        return n;
    }
    void seek(std::uint64_t position) override { position_ = std::min<std::size_t>(position, bytes_.size()); }

private:
    const std::vector<std::byte>& bytes_;
    std::size_t position_ = 0;
};

class memory_output final : public cli::output_file {
public:
    explicit memory_output(output_record& record) : record_(record) { record_.opened = true; }
    void write(std::span<const std::byte> bytes) override {
        if (record_.bytes.size() < position_ + bytes.size()) record_.bytes.resize(position_ + bytes.size());
        std::copy(bytes.begin(), bytes.end(), record_.bytes.begin() + static_cast<std::ptrdiff_t>(position_));
        position_ += bytes.size();
    }
    void seek(std::uint64_t position) override { position_ = static_cast<std::size_t>(position); }
    void close() override { record_.closed = true; }
    void discard() noexcept override { record_.discarded = true; }

private:
    output_record& record_;
    std::size_t position_ = 0;
};

class memory_files final : public cli::file_system {
public:
    explicit memory_files(const std::vector<std::byte>& input) : input_(input) {}
    std::unique_ptr<cli::input_file> open_input(const std::string& /*path*/) override {
        return std::make_unique<memory_input>(input_);
    }
    std::unique_ptr<cli::output_file> open_output(const std::string& /*path*/,
                                                  const cli::input_file& /*input*/) override {
        return std::make_unique<memory_output>(output);
    }
    output_record output;

private:
    const std::vector<std::byte>& input_;
};

// Standard output over a fixed buffer: writing it allocates nothing.
class fixed_buffer final : public std::streambuf {
public:
    fixed_buffer() { setp(text_.data(), text_.data() + text_.size()); }
    std::string str() const { return {pbase(), pptr()}; }

private:
    std::array<char, 4096> text_{};
};

struct memory_case {
    std::string name;
    int (*run)(cli::arguments, std::ostream&, cli::file_system&);
    std::vector<std::string> args;
    bytes input;
};
void PrintTo(const memory_case& c, std::ostream* os) { *os << c.name; }

struct run_outcome {
    int status;
    std::string out;
};

// Runs the command with allocation `n` failing (and every later one with
// `then_all`); n < 0 counts them instead.
run_outcome run_failing(const memory_case& c, cli::file_system& files, long n, bool then_all) {
    fixed_buffer buffer;
    std::ostream out{&buffer};
    if (n < 0) {
        allocations::count();
    } else {
        allocations::fail(n, 0, then_all);
    }
    const int status = c.run(c.args, out, files);
    allocations::stop();
    return {status, buffer.str()};
}

class OutOfMemory : public ::testing::TestWithParam<memory_case> {};

TEST_P(OutOfMemory, AtEveryAllocationGivesOneLineStatusOneAndNoOutput) {
    const memory_case& c = GetParam();
    std::vector<std::byte> input(c.input.size());
    std::transform(c.input.begin(), c.input.end(), input.begin(), [](unsigned char b) { return std::byte{b}; });
    long total = 0;
    {
        memory_files files{input};
        const run_outcome clean = run_failing(c, files, -1, false);
        total = allocations::counted();
        ASSERT_EQ(clean.status, 0) << clean.out;
        ASSERT_TRUE(files.output.closed);
        ASSERT_GT(total, 5);
    }
    for (long n = 0; n < total; ++n) {
        for (const bool then_all : {false, true}) {
            memory_files files{input};
            const run_outcome r = run_failing(c, files, n, then_all);
            const std::string where = "allocation " + std::to_string(n) + " of " + std::to_string(total) +
                                      (then_all ? " and every later one" : "");
            EXPECT_EQ(r.status, 1) << where;
            EXPECT_EQ(r.out, "Not enough memory.\n") << where;
            EXPECT_FALSE(files.output.closed) << where;
            EXPECT_EQ(files.output.discarded, files.output.opened) << where;
        }
    }
}

const bytes pcm = pcm_bytes(make_signal(signal::sine, 3001, 7));

INSTANTIATE_TEST_SUITE_P(
    Commands, OutOfMemory,
    ::testing::Values(memory_case{"nbz", cli::run_nbz, {"in", "out", "-3"}, pcm},
                      memory_case{"nbzdec", cli::run_nbzdec, {"in", "out"}, bytes(4000, 0x5A)},
                      memory_case{"nbzdec_wav", cli::run_nbzdec, {"-r", "8000", "in", "out.wav"}, bytes(4000, 0x5A)},
                      memory_case{"nbzhq", cli::run_nbzhq, {"-w", "1", "in", "out", "6"}, pcm},
                      memory_case{"nbzhq_wav", cli::run_nbzhq, {"-w", "1", "-r", "8000", "in", "out"}, wav_file(pcm)}),
    [](const auto& info) { return info.param.name; });

// On the disk: the output's name keeps what it held, and no unfinished
// stream is left beside it.
TEST(OutOfMemoryOnDisk, LeavesTheOutputAsItWas) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm);
    const bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    const memory_case c{"nbzhq", cli::run_nbzhq, {"-w", "1", dir / "in.raw", dir / "out.nbz"}, {}};
    ASSERT_EQ(run_failing(c, cli::system_files(), -1, false).status, 0);
    const long total = allocations::counted();
    for (long n = 0; n < total; ++n) {
        for (const bool over_earlier : {false, true}) {
            std::filesystem::remove(dir / "out.nbz");
            if (over_earlier) write_file(dir / "out.nbz", earlier);
            const run_outcome r = run_failing(c, cli::system_files(), n, true);
            const std::string where = "allocation " + std::to_string(n) + (over_earlier ? " over an earlier file" : "");
            EXPECT_EQ(r.status, 1) << where;
            EXPECT_EQ(r.out, "Not enough memory.\n") << where;
            EXPECT_EQ(std::filesystem::exists(dir / "out.nbz"), over_earlier) << where;
            if (over_earlier) {
                EXPECT_EQ(read_file(dir / "out.nbz"), earlier) << where;
            }
            EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{}) << where;
        }
    }
}

// The built command whose search cannot get its memory (the first
// allocation of 128 KiB or more fails, and every later one): the same, from
// its main() and through standard output.
TEST(OutOfMemoryOnDisk, TheBuiltCommandExitsWithOneLine) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm);
    const process_result r = run_process(NBZHQ_FAILING_BINARY, {dir / "in.raw", dir / "out.nbz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Not enough memory.\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.nbz"));
    EXPECT_EQ(unfinished_outputs(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace nbz::testing
