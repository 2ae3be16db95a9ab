#pragma once
// Reading an audio container (WAV, AIFF, FLAC, Ogg, MP3, ...) through
// libsndfile, with every byte fetched through the caller's byte_source,
// decoded to mono samples in double precision.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "nbz/audio/byte_io.h"

namespace nbz::audio {

// What the container holds, as the report names it.
struct sound_description {
    std::string format;         // "WAV", "FLAC", "AIFF", "Ogg Vorbis", ...
    std::string sample_format;  // "24-bit PCM", "32-bit float", ...
    long rate_hz = 0;
    int channels = 0;
    // As the decoder counts them in the first link, 0 if unknown (MP3: an
    // estimate, unless the encoder stated it).
    std::uint64_t frames = 0;
};

class sound_reader {
public:
    // Opens the container that `input` holds, from its start, after a look
    // at its structure: where a WAV's (RF64's, Wave64's, AIFF's, CAF's)
    // sound data ends, the links of a chained Ogg or MP3 file. Throws what
    // the source throws, or audio_error (undecodable) if the library cannot
    // open it or the file ends inside its header. `input` must outlive the
    // reader.
    explicit sound_reader(byte_source& input);
    ~sound_reader();
    sound_reader(const sound_reader&) = delete;
    sound_reader& operator=(const sound_reader&) = delete;

    const sound_description& description() const;

    // Reads the next frames, each the average of its channels (full scale
    // 1.0), into `mono`; returns how many (perhaps fewer than fit), 0 only
    // at the end (or for an empty span). The end is where the decoder ends,
    // whatever the header's frame count; a decoding failure after some
    // audio ends it too (see ended_early). A chained stream goes on through
    // every link with the first one's rate and channels, up to one that
    // differs. A placeholder length (a streaming writer's all ones, sox's
    // 0x7FFFF000, or 0 with sound after it) reads to the end of the file.
    // Throws what the source throws, or audio_error (undecodable) if nothing
    // decodes from a file that promised frames, ended early or failed,
    // (source_short) if the source gave fewer bytes than its size.
    std::size_t read_mono(std::span<double> mono);

    // After the end: whether the file ended before the frames or bytes its
    // header gave (an estimate, as MP3's often is, does not count), was
    // damaged (an Ogg page broken or lost), failed to decode part way, or
    // held a link that was left out.
    bool ended_early() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz::audio
