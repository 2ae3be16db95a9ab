#include "sound_layout.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <string_view>

namespace nbz::audio {
namespace {

// A header is a few chunks: beyond this many, the walk gives up.
constexpr int max_chunks = 4096;

bool is(std::span<const std::byte> bytes, std::size_t at, std::string_view tag) {
    return bytes.size() >= at + tag.size() &&
           std::equal(tag.begin(), tag.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

// The integer of `size` bytes at `at`, or 0 where the file ends first.
std::uint64_t read_number(byte_cursor& in, std::uint64_t at, std::size_t size, bool big) {
    std::array<std::byte, 8> bytes{};
    in.seek(at);
    if (in.read(std::span{bytes}.first(size)) < size) return 0;
    return big ? big_endian(std::span{bytes}.first(size)) : little_endian(std::span{bytes}.first(size));
}

data_layout incomplete() {
    data_layout layout;
    layout.header_cut = true;
    return layout;
}

data_layout cut_if(bool cut) {
    data_layout layout;
    layout.cut = cut;
    return layout;
}

header_patch patch_of(std::uint64_t offset, std::uint64_t value, std::size_t size, bool big) {
    header_patch patch{offset, {}, size};
    for (std::size_t i = 0; i < size; ++i)
        patch.bytes[big ? size - 1 - i : i] = static_cast<std::byte>(value >> (8 * i) & 0xFF);
    return patch;
}

// Whether `head` starts with a chunk's name, four printable characters (as
// many as there are). Where the walk finds none, it has lost its way (a
// writer that left out a padding byte, say), and libsndfile, which
// resynchronises, decides.
bool named(std::span<const std::byte> head) {
    return std::all_of(head.begin(), head.begin() + std::min<std::ptrdiff_t>(4, std::ssize(head)),
                       [](std::byte b) { return std::isprint(std::to_integer<unsigned char>(b)) != 0; });
}

// Whether the bytes at `at` look like a chunk's header that fits in the file
// rather than sound.
bool looks_like_chunk(byte_cursor& in, std::uint64_t at, bool big) {
    std::array<std::byte, 8> head{};
    in.seek(at);
    if (in.read(head) < head.size()) return false;
    const std::uint64_t size = big ? big_endian(std::span{head}.last(4)) : little_endian(std::span{head}.last(4));
    return named(head) && size <= in.size() - at - 8;
}

// sox's length for a WAV it writes to a pipe: as many whole frames of
// `frame_bytes` as fit in 0x7FFFF000 bytes (AIFF: 0x7F000000).
std::uint64_t sox_placeholder(std::uint64_t limit, std::uint64_t frame_bytes) {
    return frame_bytes == 0 ? limit : limit / frame_bytes * frame_bytes;
}

// RIFF or RIFX WAVE (sizes big-endian), or RF64, whose ds64 chunk holds the
// 64-bit length of its data chunk.
data_layout riff_layout(byte_cursor& in, bool big, bool rf64) {
    data_layout layout;
    std::uint64_t block_align = 0;
    std::uint64_t ds64_data = 0;
    std::uint64_t ds64_data_at = 0;  // 0: no ds64 chunk
    std::uint64_t at = 12;
    for (int n = 0; n < max_chunks; ++n) {
        std::array<std::byte, 8> head{};
        in.seek(at);
        const std::size_t got = in.read(head);
        if (got == 0 || !named(std::span{head}.first(got))) return layout;  // libsndfile decides
        if (got < head.size()) return incomplete();
        const std::uint64_t size = big ? big_endian(std::span{head}.last(4)) : little_endian(std::span{head}.last(4));
        const std::uint64_t after = in.size() - at - 8;
        if (is(head, 0, "data")) {
            if (rf64 && ds64_data_at != 0) {
                // A writer to a pipe leaves the ds64 chunk's lengths 0.
                if (ds64_data == 0 && after > 0) {
                    layout.patch = patch_of(ds64_data_at, after, 8, false);
                } else {
                    layout.cut = ds64_data > after;
                }
            } else if (size == 0xFFFFFFFF || size == sox_placeholder(0x7FFFF000, block_align) ||
                       (size == 0 && after > 0 && !looks_like_chunk(in, at + 8, big))) {
                // A placeholder: the data runs to the end of the file.
                layout.patch = patch_of(at + 4, 0xFFFFFFFF, 4, big);
            } else {
                layout.cut = size > after;
            }
            return layout;
        }
        if (size > after) return incomplete();
        if (is(head, 0, "fmt ") && size >= 14) block_align = read_number(in, at + 8 + 12, 2, big);
        if (rf64 && is(head, 0, "ds64") && size >= 24) {
            ds64_data_at = at + 8 + 8;
            ds64_data = read_number(in, ds64_data_at, 8, false);
        }
        at += 8 + size + (size & 1);
    }
    return layout;
}

// Wave64: 16-byte GUIDs for names, 64-bit sizes that count the 24-byte chunk
// header, chunks on 8-byte boundaries.
data_layout wave64_layout(byte_cursor& in) {
    constexpr std::string_view guid_tail{"\xF3\xAC\xD3\x11\x8C\xD1\x00\xC0\x4F\x8E\xDB\x8A", 12};
    std::uint64_t at = 40;
    for (int n = 0; n < max_chunks; ++n) {
        std::array<std::byte, 24> head{};
        in.seek(at);
        const std::size_t got = in.read(head);
        if (got == 0) return {};
        if (got < head.size()) return incomplete();
        const std::uint64_t size = little_endian(std::span{head}.last(8));
        const std::uint64_t after = in.size() - at - 24;
        if (size < 24) return {};
        if (is(head, 0, "data") && is(head, 4, guid_tail)) return cut_if(size - 24 > after);
        if (size - 24 > after) return incomplete();
        at += (size + 7) / 8 * 8;
    }
    return {};
}

// AIFF and AIFC: sizes big-endian; the sound data follows an offset and a
// block size in the SSND chunk.
data_layout aiff_layout(byte_cursor& in) {
    std::uint64_t frame_bytes = 0;
    std::uint64_t at = 12;
    for (int n = 0; n < max_chunks; ++n) {
        std::array<std::byte, 8> head{};
        in.seek(at);
        const std::size_t got = in.read(head);
        if (got == 0 || !named(std::span{head}.first(got))) return {};
        if (got < head.size()) return incomplete();
        const std::uint64_t size = big_endian(std::span{head}.last(4));
        const std::uint64_t after = in.size() - at - 8;
        if (is(head, 0, "SSND")) {
            if (after < 8) return incomplete();
            if (size < 8 || size - 8 == sox_placeholder(0x7F000000, frame_bytes)) return {};
            return cut_if(size - 8 > after - 8);
        }
        if (size > after) return incomplete();
        if (is(head, 0, "COMM") && size >= 8) {
            const std::uint64_t channels = read_number(in, at + 8, 2, true);
            frame_bytes = channels * ((read_number(in, at + 8 + 6, 2, true) + 7) / 8);
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// CAF: 64-bit sizes, big-endian; the data chunk's starts with a 4-byte edit
// count, and its size may be -1, "to the end of the file", which libsndfile
// refuses, as it does a size beyond the end.
data_layout caf_layout(byte_cursor& in) {
    std::uint64_t at = 8;
    for (int n = 0; n < max_chunks; ++n) {
        std::array<std::byte, 12> head{};
        in.seek(at);
        const std::size_t got = in.read(head);
        if (got == 0 || !named(std::span{head}.first(got))) return {};
        if (got < head.size()) return incomplete();
        const std::uint64_t size = big_endian(std::span{head}.last(8));
        const std::uint64_t after = in.size() - at - 12;
        if (is(head, 0, "data")) {
            if (after < 4) return incomplete();
            data_layout layout;
            if (size == ~std::uint64_t{0} || size > after) {
                layout.cut = size != ~std::uint64_t{0};
                layout.patch = patch_of(at + 4, after, 8, true);
            }
            return layout;
        }
        if (size > after) return incomplete();
        at += 12 + size;
    }
    return {};
}

}  // namespace

data_layout read_data_layout(byte_cursor& in) {
    std::array<std::byte, 28> head{};
    in.seek(0);
    const auto h = std::span{head}.first(in.read(head));
    if (is(h, 0, "RIFF") && is(h, 8, "WAVE")) return riff_layout(in, false, false);
    if (is(h, 0, "RIFX") && is(h, 8, "WAVE")) return riff_layout(in, true, false);
    if (is(h, 0, "RF64") && is(h, 8, "WAVE")) return riff_layout(in, false, true);
    if (is(h, 0, "FORM") && (is(h, 8, "AIFF") || is(h, 8, "AIFC"))) return aiff_layout(in);
    if (is(h, 0, "caff")) return caf_layout(in);
    if (is(h, 0, "riff") && is(h, 24, "wave")) return wave64_layout(in);
    return {};
}

}  // namespace nbz::audio
