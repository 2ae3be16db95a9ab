#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "stream_links.h"

namespace nbz::audio {
namespace {

// The Ogg checksum: CRC-32 of polynomial 0x04C11DB7, most significant bit
// first, from 0, over the page with its checksum field zero.
constexpr std::array<std::uint32_t, 256> crc_table = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k) r = (r & 0x80000000U) != 0 ? (r << 1) ^ 0x04C11DB7U : r << 1;
        table[i] = r;
    }
    return table;
}();

std::uint32_t crc_of(std::uint32_t crc, std::span<const std::byte> bytes) {
    for (const std::byte b : bytes) crc = crc << 8 ^ crc_table[(crc >> 24 ^ std::to_integer<std::uint32_t>(b)) & 0xFF];
    return crc;
}

constexpr unsigned first_page = 0x02;  // of a logical stream
constexpr unsigned last_page = 0x04;
constexpr std::string_view capture = "OggS";

struct page {
    std::uint32_t serial = 0;
    std::uint32_t sequence = 0;
    unsigned flags = 0;
};

enum class page_read { whole, none, cut, not_a_page, bad_checksum };

// Reads the page at the cursor's position into `found`, leaving the cursor
// after what it read.
page_read read_page(byte_cursor& in, std::vector<std::byte>& body, page& found) {
    std::array<std::byte, 27> header{};
    const std::size_t got = in.read(header);
    if (got == 0) return page_read::none;
    // The capture pattern, stream structure version 0, and no undefined flag.
    const std::size_t seen = std::min<std::size_t>(got, capture.size());
    if (!std::equal(capture.begin(), capture.begin() + static_cast<std::ptrdiff_t>(seen), header.begin(),
                    [](char c, std::byte b) { return static_cast<std::byte>(c) == b; }) ||
        (got > 4 && header[4] != std::byte{0}) || (got > 5 && std::to_integer<unsigned>(header[5]) > 7))
        return page_read::not_a_page;
    if (got < header.size()) return page_read::cut;
    std::array<std::byte, 255> lacing{};
    const auto segments = std::span{lacing}.first(std::to_integer<std::size_t>(header[26]));
    if (in.read(segments) < segments.size()) return page_read::cut;
    std::size_t body_size = 0;
    for (const std::byte b : segments) body_size += std::to_integer<std::size_t>(b);
    body.resize(body_size);
    if (in.read(body) < body.size()) return page_read::cut;
    const auto stored = static_cast<std::uint32_t>(little_endian(std::span{header}.subspan(22, 4)));
    std::fill_n(header.begin() + 22, 4, std::byte{0});
    if (crc_of(crc_of(crc_of(0, header), segments), body) != stored) return page_read::bad_checksum;
    found.serial = static_cast<std::uint32_t>(little_endian(std::span{header}.subspan(14, 4)));
    found.sequence = static_cast<std::uint32_t>(little_endian(std::span{header}.subspan(18, 4)));
    found.flags = std::to_integer<unsigned>(header[5]);
    return page_read::whole;
}

// Moves to the next capture pattern from `from`, counting the bytes looked
// at against `budget`; false at the end or when the budget is spent.
bool find_capture(byte_cursor& in, std::uint64_t from, std::uint64_t& budget) {
    std::uint64_t at = from;
    for (;;) {
        in.seek(at);
        const std::span<const std::byte> held = in.peek(capture.size());
        if (held.size() < capture.size() || held.size() > budget) return false;
        const auto hit = std::search(held.begin(), held.end(), capture.begin(), capture.end(),
                                     [](std::byte b, char c) { return static_cast<std::byte>(c) == b; });
        if (hit != held.end()) {
            const auto offset = static_cast<std::uint64_t>(hit - held.begin());
            budget -= offset;
            in.seek(at + offset);
            return true;
        }
        budget -= held.size() - (capture.size() - 1);
        at += held.size() - (capture.size() - 1);
    }
}

}  // namespace

stream_links find_ogg_links(byte_cursor& in) {
    stream_links links;
    std::vector<std::byte> body;
    // Each byte is read about once; a file of broken pages, each looked at
    // again from its second byte, could take far longer.
    std::uint64_t budget = 4 * in.size() + (std::uint64_t{1} << 20);
    bool first = true;              // no stream's first page yet
    std::uint32_t serial = 0;       // the stream of the link that is decoded
    std::uint32_t sequence = 0;     // the next page number of that stream
    bool past_first_pages = false;  // a page after the link's first pages
    bool ended = false;             // that stream's last page has been seen
    for (std::uint64_t at = 0;;) {
        in.seek(at);
        page p;
        const page_read read = read_page(in, body, p);
        const std::uint64_t spent = in.position() - at;
        if (read == page_read::none) break;
        if (read == page_read::cut || spent > budget) {
            links.damaged = true;
            return links;
        }
        budget -= spent;
        if (read != page_read::whole) {
            // Bytes that are no page: damage, unless they follow the end.
            const bool found = find_capture(in, at + 1, budget);
            if (found || !ended || read == page_read::bad_checksum) links.damaged = true;
            if (!found) return links;
            at = in.position();
            continue;
        }
        const std::uint64_t page_start = at;
        at = in.position();
        if ((p.flags & first_page) == 0) {
            past_first_pages = true;
            if (p.serial != serial) continue;
            if (p.sequence != sequence) links.damaged = true;  // a page lost
            sequence = p.sequence + 1;
            ended = ended || (p.flags & last_page) != 0;
            continue;
        }
        // A link's first pages, one for each of its streams, come before any
        // other; a first page after them starts the next link.
        if (past_first_pages) {
            links.damaged = links.damaged || !ended;
            links.starts.push_back(page_start);
        } else if (!first) {
            continue;
        }
        first = false;
        serial = p.serial;
        sequence = p.sequence + 1;
        past_first_pages = false;
        ended = (p.flags & last_page) != 0;
    }
    links.damaged = links.damaged || !ended;
    return links;
}

}  // namespace nbz::audio
