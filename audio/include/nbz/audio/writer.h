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

// The most samples a mono 16-bit AIFF holds: its FORM chunk's 32-bit size
// counts the 46 bytes of header after it and 2 bytes a sample.
inline constexpr std::uint64_t max_aiff_samples = (0xFFFFFFFF - 46) / 2;
// The most samples a mono 16-bit WAV holds: its RIFF chunk's 32-bit size
// counts 36 bytes of header and 2 bytes a sample. A longer one is written as
// RF64, the WAV with 64-bit sizes. A FLAC stream that outgrows its 36-bit
// sample count stores the count as unknown, which readers take.
inline constexpr std::uint64_t max_wav_samples = (0xFFFFFFFF - 36) / 2;

// Whether `container` holds `samples` mono 16-bit samples: an AIFF only up to
// max_aiff_samples; a WAV or FLAC always.
bool container_holds(sound_container container, std::uint64_t samples);

// The container that an output's name asks for: .wav, .flac, .aif or .aiff,
// in any case; none for any other name (raw PCM).
std::optional<sound_container> container_for_name(const std::string& path);

class sound_writer {
public:
    // Starts a mono 16-bit `container` at `rate_hz` on `output`, which must
    // outlive the writer, for `samples` samples to come (a WAV of more than
    // max_wav_samples is written as RF64). First moves the sink to its
    // start, so that a sink that cannot be rewound to complete the header (a
    // pipe) fails before anything is written. Throws what the sink throws,
    // or audio_error (unwritable), as for a container that does not hold
    // `samples`.
    sound_writer(byte_sink& output, sound_container container, long rate_hz, std::uint64_t samples);
    // Abandons an unfinished container.
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    // Appends samples. Throws as the constructor does, and audio_error
    // (unwritable) for samples beyond what the container holds, so that its
    // header's sizes never wrap.
    void write(std::span<const std::int16_t> samples);
    // Completes the container (its header states the length). Throws as the
    // constructor does.
    void finish();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz::audio
