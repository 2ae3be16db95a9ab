#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "stream_links.h"

namespace nbz::audio {
namespace {

bool is(std::span<const std::byte> bytes, std::size_t at, std::string_view tag) {
    return bytes.size() >= at + tag.size() &&
           std::equal(tag.begin(), tag.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

unsigned at(std::span<const std::byte> bytes, std::size_t offset) { return std::to_integer<unsigned>(bytes[offset]); }

// The whole length of the ID3v2 tag whose header `head` is ("ID3", major
// version 2 to 4, revision 0, a size in four 7-bit bytes, and a footer when
// flagged), or 0 if it is none.
std::uint64_t id3_length(std::span<const std::byte> head) {
    if (head.size() < 10 || !is(head, 0, "ID3") || at(head, 3) < 2 || at(head, 3) > 4 || at(head, 4) != 0) return 0;
    std::uint64_t size = 0;
    for (std::size_t i = 6; i < 10; ++i) {
        if (at(head, i) >= 0x80) return 0;
        size = size << 7 | at(head, i);
    }
    const std::uint64_t footer = (at(head, 5) & 0x10) != 0 ? 10 : 0;
    return 10 + size + footer;
}

bool frame_sync(std::span<const std::byte> bytes) {
    return bytes.size() >= 2 && at(bytes, 0) == 0xFF && (at(bytes, 1) & 0xE0) == 0xE0;
}

// Whether `frame` starts with a Layer III frame that is an encoder's header
// giving the stream's frame count: Xing or Info (with the count's flag) after
// the side information, or VBRI at a fixed place.
bool states_frame_count(std::span<const std::byte> frame) {
    if (frame.size() < 4 || !frame_sync(frame)) return false;
    const unsigned version = at(frame, 1) >> 3 & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const unsigned layer = at(frame, 1) >> 1 & 3;    // 1: Layer III
    const bool mono = (at(frame, 3) >> 6 & 3) == 3;
    if (layer != 1 || version == 1) return false;
    const std::size_t side = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const std::size_t tag = 4 + side;
    if ((is(frame, tag, "Xing") || is(frame, tag, "Info")) && frame.size() >= tag + 8)
        return (at(frame, tag + 7) & 1) != 0;
    return is(frame, 36, "VBRI");
}

// Where the ID3v2 tags from `position` on end: after at most a few, as
// files carry one or two, so that a file of nothing but tags takes no more
// than a few reads for each place looked at.
std::uint64_t after_tags(byte_cursor& in, std::uint64_t position) {
    for (int tags = 0; tags < 8; ++tags) {
        std::array<std::byte, 10> head{};
        in.seek(position);
        const std::uint64_t length = id3_length(std::span{head}.first(in.read(head)));
        if (length == 0) break;
        position += length;
    }
    return position;
}

}  // namespace

stream_links find_mp3_links(byte_cursor& in) {
    stream_links links;
    // The first link's frames follow its tags.
    const std::uint64_t audio = after_tags(in, 0);
    if (audio == 0 || audio >= in.size()) return links;
    std::array<std::byte, 64> frame{};
    in.seek(audio);
    links.exact_length = states_frame_count(std::span{frame}.first(in.read(frame)));

    // Each later tag that frames follow starts a link; the tags after it are
    // its own.
    constexpr std::string_view id3 = "ID3";
    for (std::uint64_t from = audio;;) {
        in.seek(from);
        const std::span<const std::byte> held = in.peek(10);
        if (held.size() < 10) break;
        const auto hit = std::search(held.begin(), held.end(), id3.begin(), id3.end(),
                                     [](std::byte b, char c) { return static_cast<std::byte>(c) == b; });
        if (hit == held.end()) {
            from += held.size() - (id3.size() - 1);
            continue;
        }
        const std::uint64_t start = from + static_cast<std::uint64_t>(hit - held.begin());
        const std::uint64_t end = after_tags(in, start);
        std::array<std::byte, 2> sync{};
        in.seek(end);
        if (end > start && end < in.size() && frame_sync(std::span{sync}.first(in.read(sync)))) {
            links.starts.push_back(start);
            from = end;
        } else {
            from = start + 1;
        }
    }
    return links;
}

}  // namespace nbz::audio
