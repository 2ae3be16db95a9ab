#pragma once
// The links of a chained stream: Ogg files joined end to end (cat a.ogg
// b.ogg), each link a whole stream of its own, or MP3 files joined, each
// behind its ID3 tag. libsndfile stops at the end of the first link, so the
// reader opens it again on each link's stretch of the file.

#include <cstdint>
#include <vector>

#include "byte_cursor.h"

namespace nbz::audio {

struct stream_links {
    std::vector<std::uint64_t> starts{0};  // where each link begins, in order
    bool damaged = false;                  // Ogg: a page broken, lost, or missing at the end
    bool exact_length = false;             // MP3: the first link states its frame count
};

// Walks the pages of the Ogg file in `in`, checking each page's checksum,
// sequence number and place. Reads the whole file; bounded work on any
// input. Throws as `in` does.
stream_links find_ogg_links(byte_cursor& in);

// Finds each ID3v2 tag after the first one of the MP3 file in `in` that an
// MPEG frame follows, and whether the first frame is a header stating the
// frame count (Xing, Info or VBRI). Reads the whole file. Throws as `in`
// does.
stream_links find_mp3_links(byte_cursor& in);

}  // namespace nbz::audio
