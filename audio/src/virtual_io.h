#pragma once
// What libsndfile's virtual I/O callbacks over the caller's sources and sinks
// share.

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <exception>

#include "nbz/audio/byte_io.h"

namespace nbz::audio {

// Serves a seek callback on `file` (a byte_source or a byte_sink) that is
// at `position` and `length` bytes long: moves it by `offset` from SEEK_SET,
// SEEK_CUR or SEEK_END and returns the new position. A seek to where the file
// already is touches nothing, so telling the position works on a pipe too.
// Returns -1 for a position before the start, after an earlier failure, or
// when the file cannot be moved; the library is C, so that failure is kept
// in `failure` for the caller to rethrow once the library call returns.
template <class File>
sf_count_t virtual_seek(File& file, sf_count_t offset, int whence, std::uint64_t& position, std::uint64_t length,
                        std::exception_ptr& failure) noexcept {
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(position);
    if (whence == SEEK_END) base = static_cast<sf_count_t>(length);
    const sf_count_t target = base + offset;
    if (failure || target < 0) return -1;
    if (static_cast<std::uint64_t>(target) == position) return target;
    try {
        file.seek(static_cast<std::uint64_t>(target));
    } catch (...) {
        failure = std::current_exception();
        return -1;
    }
    position = static_cast<std::uint64_t>(target);
    return target;
}

}  // namespace nbz::audio
