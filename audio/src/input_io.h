#pragma once
// libsndfile's virtual I/O over a stretch of a byte_source, as though that
// stretch were the whole file: a link of a chained stream, or a file whose
// header libsndfile is shown patched.

#include <sndfile.h>

#include <cstdint>
#include <exception>

#include "byte_cursor.h"
#include "sound_layout.h"

namespace nbz::audio {

struct input_io {
    byte_cursor& file;
    std::uint64_t start = 0;  // the stretch, in the file
    std::uint64_t end = 0;
    header_patch patch;          // offset from the file's start
    std::uint64_t position = 0;  // where the library reads next, from `start`
    // The library is C, so no exception may leave a callback (each is
    // noexcept): a failure is kept here, the callback reports an error, and
    // the caller rethrows it once the library call returns.
    std::exception_ptr failure;
};

// The callbacks, whose user data is an input_io.
SF_VIRTUAL_IO input_callbacks();

}  // namespace nbz::audio
