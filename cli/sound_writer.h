#pragma once
// Writing mono 16-bit sound into a WAV, FLAC or AIFF container through
// libsndfile, with every byte going through the output_file.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "file_io.h"

namespace nbz::cli {

enum class sound_container { wav, flac, aiff };

// The highest rate that a FLAC stream header can store.
inline constexpr long max_flac_rate_hz = 655350;

// The container that an output's name asks for: .wav, .flac, .aif or .aiff,
// in any case; none for any other name (raw PCM).
std::optional<sound_container> container_for_name(const std::string& path);

class sound_writer {
public:
    // Starts a mono 16-bit `container` at `rate_hz` on `output`. Throws
    // io_failure before writing anything if the output cannot be rewound to
    // complete the header (output_not_seekable for a pipe); else the
    // output's own failure, or write_failed.
    sound_writer(output_file& output, sound_container container, long rate_hz);
    // Abandons an unfinished container; the output is then discarded.
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    // Appends samples. Throws io_failure.
    void write(std::span<const std::int16_t> samples);
    // Completes the container (its header states the length). Throws
    // io_failure.
    void finish();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz::cli
