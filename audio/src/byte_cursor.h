#pragma once
// Reading a byte_source forward in large chunks, for the library's own look
// at a container's structure before and around libsndfile.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "nbz/audio/byte_io.h"

namespace nbz::audio {

class byte_cursor {
public:
    explicit byte_cursor(byte_source& source) : source_(source), size_(source.size()) {}

    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }

    // Moves to `position` (at most the size); a move within the chunk held
    // touches the source only on the next read past it.
    void seek(std::uint64_t position) { position_ = std::min(position, size_); }

    // Reads up to out.size() bytes; fewer only at the end. Throws what the
    // source throws, or audio_error (source_short) if the source ends before
    // its size.
    std::size_t read(std::span<std::byte> out) {
        std::size_t done = 0;
        while (done < out.size() && position_ < size_) {
            if (position_ < start_ || position_ >= start_ + chunk_.size()) fill();
            const auto offset = static_cast<std::size_t>(position_ - start_);
            const std::size_t n = std::min(out.size() - done, chunk_.size() - offset);
            std::copy_n(chunk_.begin() + static_cast<std::ptrdiff_t>(offset), n,
                        out.begin() + static_cast<std::ptrdiff_t>(done));
            done += n;
            position_ += n;
        }
        return done;
    }

    // The bytes held from the position on, without moving: at least
    // `at_least` (at most a chunk) unless the file ends first.
    std::span<const std::byte> peek(std::size_t at_least) {
        const auto wanted = std::min<std::uint64_t>({at_least, chunk_bytes, size_ - position_});
        if (position_ < start_ || position_ + wanted > start_ + chunk_.size()) fill();
        return std::span{chunk_}.subspan(static_cast<std::size_t>(position_ - start_));
    }

private:
    static constexpr std::size_t chunk_bytes = std::size_t{1} << 16;

    void fill() {
        if (source_position_ != position_) source_.seek(position_);
        chunk_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, size_ - position_)));
        std::size_t done = 0;
        while (done < chunk_.size()) {
            const std::size_t n = source_.read(std::span{chunk_}.subspan(done));
            if (n == 0) throw audio_error{audio_errc::source_short};
            done += n;
        }
        start_ = position_;
        source_position_ = position_ + chunk_.size();
    }

    byte_source& source_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    std::vector<std::byte> chunk_;
    std::uint64_t start_ = 0;                            // where chunk_ was read from
    std::uint64_t source_position_ = ~std::uint64_t{0};  // where the source reads next (unknown at first)
};

// The unsigned integer stored in `bytes` (at most 8), least or most
// significant byte first.
inline std::uint64_t little_endian(std::span<const std::byte> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = value << 8 | std::to_integer<std::uint64_t>(bytes[i]);
    return value;
}
inline std::uint64_t big_endian(std::span<const std::byte> bytes) {
    std::uint64_t value = 0;
    for (const std::byte b : bytes) value = value << 8 | std::to_integer<std::uint64_t>(b);
    return value;
}

}  // namespace nbz::audio
