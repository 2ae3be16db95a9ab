// The commands' behaviour when a read, write or close fails, or the input
// comes up short, at every position of a small run: injected through the
// file_system seam around the real files.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "file_io.h"
#include "messages.h"
#include "nbz_command.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

using cli::file_system;
using cli::input_file;
using cli::io_failure;
using cli::output_file;

enum class fault { none, read_error, short_read, write_error, close_error };

struct fault_plan {
    fault kind = fault::none;
    int at = 0;  // which call of that kind fails, from 0
};

class faulty_input final : public input_file {
public:
    faulty_input(std::unique_ptr<input_file> real, fault_plan plan) : real_(std::move(real)), plan_(plan) {}
    std::uint64_t size() const override { return real_->size(); }
    cli::file_identity identity() const override { return real_->identity(); }
    std::size_t read(std::span<std::byte> buffer) override {
        const int call = calls_++;
        if (plan_.kind == fault::read_error && call == plan_.at) throw io_failure{cli::messages::read_failed};
        if (plan_.kind == fault::short_read && call >= plan_.at) return 0;  // the file shrank
        return real_->read(buffer);
    }

private:
    std::unique_ptr<input_file> real_;
    fault_plan plan_;
    int calls_ = 0;
};

class faulty_output final : public output_file {
public:
    faulty_output(std::unique_ptr<output_file> real, fault_plan plan) : real_(std::move(real)), plan_(plan) {}
    void write(std::span<const std::byte> bytes) override {
        if (plan_.kind == fault::write_error && writes_++ == plan_.at) {
            real_->write(bytes.first(bytes.size() / 2));  // a partial write, then the failure
            throw io_failure{cli::messages::write_failed};
        }
        real_->write(bytes);
    }
    void close() override {
        if (plan_.kind == fault::close_error) throw io_failure{cli::messages::write_failed};
        real_->close();
    }
    void discard() noexcept override { real_->discard(); }

private:
    std::unique_ptr<output_file> real_;
    fault_plan plan_;
    int writes_ = 0;
};

class faulty_files final : public file_system {
public:
    explicit faulty_files(fault_plan plan) : plan_(plan) {}
    std::unique_ptr<input_file> open_input(const std::string& path) override {
        return std::make_unique<faulty_input>(cli::system_files().open_input(path), plan_);
    }
    std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) override {
        return std::make_unique<faulty_output>(cli::system_files().open_output(path, input), plan_);
    }

private:
    fault_plan plan_;
};

// An input of three and a bit chunks, so reads and writes happen at several
// positions.
const bytes input_content = [] {
    bytes b(3 * 65536 + 1000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7919 >> 3);
    return b;
}();

struct outcome {
    int status;
    std::string out;
    bool output_exists;
};

outcome run_with(fault_plan plan, const temp_dir& dir) {
    faulty_files files{plan};
    std::ostringstream out;
    const std::vector<std::string> args = {dir / "in.raw", dir / "out.nbz"};
    const int status = cli::run_nbz(args, out, files);
    return {status, out.str(), std::filesystem::exists(dir / "out.nbz")};
}

TEST(FaultInjection, EveryFaultGivesItsMessageAndRemovesThePartialOutput) {
    const struct {
        fault kind;
        int positions;
        const char* message;
    } faults[] = {
        {fault::read_error, 4, "Couldn't read input file.\n"},
        {fault::short_read, 4, "Couldn't read input file.\n"},
        {fault::write_error, 1, "Couldn't write output file.\n"},
        {fault::close_error, 1, "Couldn't write output file.\n"},
    };
    for (const auto& f : faults) {
        for (int at = 0; at < f.positions; ++at) {
            temp_dir dir;
            write_file(dir / "in.raw", input_content);
            const outcome result = run_with({f.kind, at}, dir);
            const std::string where = "fault " + std::to_string(static_cast<int>(f.kind)) + " at " + std::to_string(at);
            EXPECT_EQ(result.status, 1) << where;
            EXPECT_EQ(result.out, f.message) << where;
            EXPECT_FALSE(result.output_exists) << where;
            EXPECT_EQ(read_file(dir / "in.raw"), input_content) << where;
        }
    }
}

TEST(FaultInjection, WithoutFaultsTheRunSucceeds) {
    temp_dir dir;
    write_file(dir / "in.raw", input_content);
    const outcome result = run_with({}, dir);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output_exists);
    EXPECT_EQ(std::filesystem::file_size(dir / "out.nbz"), (input_content.size() / 2 + 7) / 8 * 4);
}

}  // namespace
}  // namespace nbz::testing
