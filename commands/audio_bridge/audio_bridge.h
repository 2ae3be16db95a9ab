#pragma once
// What nbzhq and nbzdec share to use the audio library: the commands' files
// as its byte sources and sinks, and its failures as the commands report
// them.

#include <cstddef>
#include <cstdint>
#include <span>

#include "nbz/audio/byte_io.h"
#include "nbz/platform/files.h"

namespace nbz::cli {

// An input file as the audio reader's source of bytes.
class file_source final : public audio::byte_source {
public:
    explicit file_source(input_file& file) : file_(file) {}
    std::uint64_t size() const override { return file_.size(); }
    std::size_t read(std::span<std::byte> buffer) override { return file_.read(buffer); }
    void seek(std::uint64_t position) override { file_.seek(position); }

private:
    input_file& file_;
};

// An output file as the audio writer's sink.
class file_sink final : public audio::byte_sink {
public:
    explicit file_sink(output_file& file) : file_(file) {}
    void write(std::span<const std::byte> bytes) override { file_.write(bytes); }
    void seek(std::uint64_t position) override { file_.seek(position); }

private:
    output_file& file_;
};

// Called inside a catch block: rethrows the exception being handled, as the
// commands' failure where it is a failure of the audio library or of the
// resampler, unchanged otherwise.
[[noreturn]] void rethrow_as_command_failure();

}  // namespace nbz::cli
