#pragma once
// Where the audio files' bytes come from and go to: the caller's own sources
// and sinks (a file, memory, a test that injects faults), so that the library
// does no file I/O of its own.
//
// A source or sink reports its own failure by throwing. The library carries
// that exception across the decoder's C frames and rethrows it, unchanged,
// from the call that was running; its own failures are audio_error.

#include <cstddef>
#include <cstdint>
#include <span>

namespace nbz::audio {

class byte_source {
public:
    virtual ~byte_source() = default;
    // The number of bytes in the source, fixed while it is read.
    virtual std::uint64_t size() const = 0;
    // Reads up to buffer.size() bytes at the current position and returns
    // how many were read; 0 only at the end.
    virtual std::size_t read(std::span<std::byte> buffer) = 0;
    // Moves the next read to `position` bytes from the start.
    virtual void seek(std::uint64_t position) = 0;
};

class byte_sink {
public:
    virtual ~byte_sink() = default;
    // Writes all of `bytes` at the current position.
    virtual void write(std::span<const std::byte> bytes) = 0;
    // Moves the next write to `position` bytes from the start (a container's
    // header is completed at the end).
    virtual void seek(std::uint64_t position) = 0;
};

// What went wrong inside the library.
enum class audio_errc {
    undecodable,   // nothing decodes from the source
    source_short,  // the source gave fewer bytes than its size promised
    unwritable,    // the encoder refused the container or the samples
};

// The library's own failures, thrown by value.
struct audio_error {
    audio_errc code;
};

}  // namespace nbz::audio
