#pragma once
// What a WAV, RF64, Wave64, AIFF or CAF header says of its sound data, read
// ahead of libsndfile. The library trims the length that a header states to
// the bytes the file holds, so that a cut file would pass for a whole one;
// it takes some writers' placeholder lengths (for a pipe, which cannot be
// rewound to complete the header) for real ones; and it refuses a CAF whose
// stated length runs past the end.

#include <array>
#include <cstddef>
#include <cstdint>

#include "byte_cursor.h"

namespace nbz::audio {

// Header bytes that libsndfile is shown changed.
struct header_patch {
    std::uint64_t offset = 0;  // from the start of the file
    std::array<std::byte, 8> bytes{};
    std::size_t size = 0;  // 0: nothing changed
};

struct data_layout {
    bool header_cut = false;  // the file ends before its sound data begins
    bool cut = false;         // the sound data stated runs past the file's end
    // A length that is a placeholder, or that libsndfile would refuse, shown
    // as one that reaches the end of the file.
    header_patch patch;
};

// Follows the chunks of the header at the start of `in` up to the sound
// data. A file of another kind, or a header it cannot follow, gives the
// defaults (libsndfile then decides). Throws as `in` does.
data_layout read_data_layout(byte_cursor& in);

}  // namespace nbz::audio
