#pragma once
// Writing mono 16-bit sound into a WAV, FLAC or AIFF container through
// libsndfile, with every byte going through the caller's byte_sink.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "nbz/audio/byte_io.h"

namespace nbz::audio {

enum class sound_container { wav, flac, aiff };

// The highest rate that a FLAC stream header can store.
inline constexpr long max_flac_rate_hz = 655350;

// The container that an output's name asks for: .wav, .flac, .aif or .aiff,
// in any case; none for any other name (raw PCM).
std::optional<sound_container> container_for_name(const std::string& path);

class sound_writer {
public:
    // Starts a mono 16-bit `container` at `rate_hz` on `output`, which must
    // outlive the writer. First moves the sink to its start, so that a sink
    // that cannot be rewound to complete the header (a pipe) fails before
    // anything is written. Throws what the sink throws, or audio_error
    // (unwritable).
    sound_writer(byte_sink& output, sound_container container, long rate_hz);
    // Abandons an unfinished container.
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    // Appends samples. Throws as the constructor does.
    void write(std::span<const std::int16_t> samples);
    // Completes the container (its header states the length). Throws as the
    // constructor does.
    void finish();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz::audio
