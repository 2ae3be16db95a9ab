#include "nbz/audio/detect.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace nbz::audio {
namespace {

bool has(std::span<const std::byte> head, std::size_t offset, std::string_view tag) {
    if (head.size() < offset + tag.size()) return false;
    return std::equal(tag.begin(), tag.end(), head.begin() + static_cast<std::ptrdiff_t>(offset),
                      [](char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

unsigned at(std::span<const std::byte> head, std::size_t offset) {
    return offset < head.size() ? std::to_integer<unsigned>(head[offset]) : 256;
}

// Wave64 opens with the GUID of its "riff" chunk.
constexpr std::array<unsigned char, 16> wave64_riff = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                                       0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

}  // namespace

bool is_sound_container(std::span<const std::byte> head) {
    if ((has(head, 0, "RIFF") || has(head, 0, "RIFX") || has(head, 0, "RF64")) && has(head, 8, "WAVE")) return true;
    if (has(head, 0, "FORM") && (has(head, 8, "AIFF") || has(head, 8, "AIFC"))) return true;
    // FLAC: the stream's first metadata block is always its 34-byte
    // STREAMINFO (type 0, perhaps flagged as the last block).
    if (has(head, 0, "fLaC") && (at(head, 4) & 0x7F) == 0 && at(head, 5) == 0 && at(head, 6) == 0 && at(head, 7) == 34)
        return true;
    // Ogg: stream structure version 0, and a header type of at most the
    // three defined flags.
    if (has(head, 0, "OggS") && at(head, 4) == 0 && at(head, 5) < 8) return true;
    // CAF: file version 1, flags 0.
    if (has(head, 0, "caff") && at(head, 4) == 0 && at(head, 5) == 1 && at(head, 6) == 0 && at(head, 7) == 0)
        return true;
    // ID3v2: major version 2..4, revision 0, and a size of four 7-bit bytes.
    if (has(head, 0, "ID3") && at(head, 3) >= 2 && at(head, 3) <= 4 && at(head, 4) == 0 && at(head, 6) < 0x80 &&
        at(head, 7) < 0x80 && at(head, 8) < 0x80 && at(head, 9) < 0x80)
        return true;
    return head.size() >= wave64_riff.size() &&
           std::equal(wave64_riff.begin(), wave64_riff.end(), head.begin(),
                      [](unsigned char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

}  // namespace nbz::audio
