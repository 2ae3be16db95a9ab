#pragma once
// Telling an audio container from raw PCM by its first bytes.
//
// Raw PCM is arbitrary bytes, so only signatures that sound cannot plausibly
// imitate count: a four-character tag together with a second one at a fixed
// offset, or a tag with fixed version fields. Formats that are known only by
// weak signatures (an MP3 frame's sync bits, say) stay raw.

#include <cstddef>
#include <span>

namespace nbz::audio {

// How many first bytes the detection looks at.
inline constexpr std::size_t sound_signature_bytes = 16;

// Whether `head` (the file's first bytes, up to sound_signature_bytes)
// starts a RIFF/RIFX/RF64 WAVE, Wave64, FORM AIFF/AIFC, CAF, FLAC or Ogg
// file, or an ID3v2 tag (MP3). Too few bytes to tell is raw.
bool is_sound_container(std::span<const std::byte> head);

}  // namespace nbz::audio
