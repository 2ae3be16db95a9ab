#include "input_io.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <span>

namespace nbz::audio {
namespace {

input_io& io_of(void* user) noexcept { return *static_cast<input_io*>(user); }

sf_count_t io_length(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).end - io_of(user).start); }

// Only the read position moves; the file moves when a read needs it to.
sf_count_t io_seek(sf_count_t offset, int whence, void* user) noexcept {
    input_io& io = io_of(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(io.position);
    if (whence == SEEK_END) base = io_length(user);
    if (io.failure || offset > std::numeric_limits<sf_count_t>::max() - base || base + offset < 0) return -1;
    io.position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

sf_count_t io_read(void* buffer, sf_count_t count, void* user) noexcept {
    input_io& io = io_of(user);
    const std::uint64_t length = io.end - io.start;
    if (io.failure || count <= 0 || io.position >= length) return 0;
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(count), length - io.position));
    const std::span out{static_cast<std::byte*>(buffer), wanted};
    const std::uint64_t from = io.start + io.position;
    try {
        io.file.seek(from);
        if (io.file.read(out) < out.size()) throw audio_error{audio_errc::source_short};
    } catch (...) {
        io.failure = std::current_exception();
        return 0;
    }
    // The patched bytes that fall in what was read.
    for (std::size_t i = 0; i < io.patch.size; ++i) {
        const std::uint64_t at = io.patch.offset + i;
        if (at >= from && at < from + out.size()) out[static_cast<std::size_t>(at - from)] = io.patch.bytes[i];
    }
    io.position += out.size();
    return static_cast<sf_count_t>(out.size());
}

sf_count_t io_write(const void* /*buffer*/, sf_count_t /*count*/, void* /*user*/) noexcept { return 0; }

sf_count_t io_tell(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).position); }

}  // namespace

SF_VIRTUAL_IO input_callbacks() { return {io_length, io_seek, io_read, io_write, io_tell}; }

}  // namespace nbz::audio
