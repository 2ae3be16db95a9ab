// The commands' behaviour when a read, write or close fails, or the input
// comes up short, at every position of a small run: injected through the
// file_system seam around the real files. The output's name must then hold
// what it held before, and no temporary file may remain.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "nbz/cli/failure.h"
#include "nbz/platform/files.h"
#include "nbz_command.h"
#include "nbzdec_command.h"
#include "nbzhq_command.h"
#include "temp_files.h"
#include "wav.h"

namespace nbz::testing {
namespace {

using cli::failure;
using cli::failure_code;
using cli::file_system;
using cli::input_file;
using cli::output_file;

enum class fault { none, read_error, short_read, write_error, close_error };

struct fault_plan {
    fault kind = fault::none;
    int at = 0;  // which call of that kind fails, from 0
};

// How many reads and writes a run made.
struct call_counts {
    int reads = 0;
    int writes = 0;
};

class faulty_input final : public input_file {
public:
    faulty_input(std::unique_ptr<input_file> real, fault_plan plan, call_counts& counts)
        : real_(std::move(real)), plan_(plan), counts_(counts) {}
    std::uint64_t size() const override { return real_->size(); }
    cli::file_identity identity() const override { return real_->identity(); }
    std::size_t read(std::span<std::byte> buffer) override {
        const int call = counts_.reads++;
        if (plan_.kind == fault::read_error && call == plan_.at) throw failure{failure_code::read_failed};
        if (plan_.kind == fault::short_read && call >= plan_.at) return 0;  // the file shrank
        return real_->read(buffer);
    }
    void seek(std::uint64_t position) override { real_->seek(position); }

private:
    std::unique_ptr<input_file> real_;
    fault_plan plan_;
    call_counts& counts_;
};

class faulty_output final : public output_file {
public:
    faulty_output(std::unique_ptr<output_file> real, std::string path, fault_plan plan, call_counts& counts)
        : real_(std::move(real)), path_(std::move(path)), plan_(plan), counts_(counts) {}
    void write(std::span<const std::byte> bytes) override {
        const int call = counts_.writes++;
        if (plan_.kind == fault::write_error && call == plan_.at) {
            real_->write(bytes.first(bytes.size() / 2));  // a partial write, then the failure
            throw failure{failure_code::write_failed};
        }
        real_->write(bytes);
    }
    void seek(std::uint64_t position) override { real_->seek(position); }
    void close() override {
        if (plan_.kind != fault::close_error) return real_->close();
        // The real close fails: a directory holds the output's name, so the
        // finished stream cannot take it. Then the name gets its file back.
        namespace fs = std::filesystem;
        const std::string aside = path_ + ".aside";
        const bool had_file = fs::exists(path_);
        if (had_file) fs::rename(path_, aside);
        fs::create_directories(path_ + "/obstacle");
        const auto restore = [&] {
            fs::remove_all(path_);
            if (had_file) fs::rename(aside, path_);
        };
        try {
            real_->close();
        } catch (const failure&) {
            restore();
            throw;
        }
        restore();
    }
    void discard() noexcept override { real_->discard(); }

private:
    std::unique_ptr<output_file> real_;
    std::string path_;
    fault_plan plan_;
    call_counts& counts_;
};

class faulty_files final : public file_system {
public:
    explicit faulty_files(fault_plan plan) : plan_(plan) {}
    std::unique_ptr<input_file> open_input(const std::string& path) override {
        return std::make_unique<faulty_input>(cli::system_files().open_input(path), plan_, counts);
    }
    std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) override {
        return std::make_unique<faulty_output>(cli::system_files().open_output(path, input), path, plan_, counts);
    }
    call_counts counts;

private:
    fault_plan plan_;
};

struct command_under_test {
    std::string name;
    int (*run)(cli::arguments, std::ostream&, cli::file_system&);
    std::size_t input_size;  // large enough for several reads and writes
    bool wav = false;        // the input is a WAV file of that many data bytes
    std::vector<std::string> options = {};
    std::string output_name = "out";
};

void PrintTo(const command_under_test& c, std::ostream* os) { *os << c.name; }

struct outcome {
    int status;
    std::string out;
    std::optional<bytes> output;  // what the output's name holds, if anything
    std::vector<std::string> unfinished;
    call_counts counts;
};

const bytes earlier_output = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

outcome run_with(const command_under_test& command, fault_plan plan, bool earlier = false) {
    temp_dir dir;
    if (earlier) write_file(dir / command.output_name, earlier_output);
    bytes input(command.input_size);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<unsigned char>(i * 7919 >> 3);
    if (command.wav) input = wav_file(input);
    write_file(dir / "in", input);
    faulty_files files{plan};
    std::ostringstream out;
    std::vector<std::string> args = command.options;
    args.insert(args.end(), {dir / "in", dir / command.output_name});
    const int status = command.run(args, out, files);
    EXPECT_EQ(read_file(dir / "in"), input) << "the input was changed";
    std::optional<bytes> output;
    if (std::filesystem::exists(dir / command.output_name)) output = read_file(dir / command.output_name);
    return {status, out.str(), output, unfinished_outputs(dir.path()), files.counts};
}

class FaultInjection : public ::testing::TestWithParam<command_under_test> {};

TEST_P(FaultInjection, EveryFaultAtEveryPositionGivesItsMessageAndLeavesTheOutputAsItWas) {
    const command_under_test& command = GetParam();
    const outcome clean = run_with(command, {});
    ASSERT_EQ(clean.status, 0);
    ASSERT_TRUE(clean.output.has_value());
    ASSERT_GE(clean.counts.reads, 3);
    ASSERT_GE(clean.counts.writes, 2);
    const struct {
        fault kind;
        int positions;
        const char* message;
    } faults[] = {
        {fault::read_error, clean.counts.reads, "Couldn't read input file.\n"},
        {fault::short_read, clean.counts.reads - 1, "Couldn't read input file.\n"},  // the last read finds the end
        {fault::write_error, clean.counts.writes, "Couldn't write output file.\n"},
        {fault::close_error, 1, "Couldn't write output file.\n"},
    };
    for (const auto& f : faults) {
        for (int at = 0; at < f.positions; ++at) {
            // Over an earlier output at odd positions, where there was none at
            // even ones; a fault with a single position is tried both ways.
            for (const bool earlier : {false, true}) {
                if (f.positions > 1 && earlier != (at % 2 == 1)) continue;
                const outcome result = run_with(command, {f.kind, at}, earlier);
                const std::string where = "fault " + std::to_string(static_cast<int>(f.kind)) + " at " +
                                          std::to_string(at) + (earlier ? " over an earlier output" : "");
                EXPECT_EQ(result.status, 1) << where;
                EXPECT_EQ(result.out, f.message) << where;
                EXPECT_EQ(result.output, earlier ? std::optional{earlier_output} : std::nullopt) << where;
                EXPECT_EQ(result.unfinished, std::vector<std::string>{}) << where;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FaultInjection,
    ::testing::Values(command_under_test{"nbz", cli::run_nbz, 9 * 65536 + 1001},
                      command_under_test{"nbzdec", cli::run_nbzdec, 3 * 65536 + 1000},
                      // Just over four chunks: a stream of two. A narrow search fails the same way.
                      command_under_test{"nbzhq", cli::run_nbzhq, 4 * 65536 + 1001, false, {"-w", "1"}},
                      command_under_test{"nbzhq_wav", cli::run_nbzhq, 4 * 65536 + 1000, true, {"-w", "1"}},
                      command_under_test{
                          "nbzdec_wav", cli::run_nbzdec, 3 * 65536 + 1000, false, {"-r", "8000"}, "out.wav"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace nbz::testing
