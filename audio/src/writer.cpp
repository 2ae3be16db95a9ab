#include "nbz/audio/writer.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <utility>

#include "virtual_io.h"

namespace nbz::audio {
namespace {

// libsndfile's virtual I/O over a byte_sink; failures are kept as in
// reader.cpp and rethrown once the library call returns.
struct output_io {
    byte_sink& file;
    std::uint64_t position = 0;
    std::uint64_t length = 0;
    std::exception_ptr failure;
};

output_io& io_of(void* user) noexcept { return *static_cast<output_io*>(user); }

sf_count_t io_length(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).length); }

sf_count_t io_seek(sf_count_t offset, int whence, void* user) noexcept {
    output_io& io = io_of(user);
    return virtual_seek(io.file, offset, whence, io.position, io.length, io.failure);
}

sf_count_t io_read(void* /*buffer*/, sf_count_t /*count*/, void* /*user*/) noexcept { return 0; }

sf_count_t io_write(const void* buffer, sf_count_t count, void* user) noexcept {
    output_io& io = io_of(user);
    if (io.failure || count <= 0) return 0;
    try {
        io.file.write(std::span{static_cast<const std::byte*>(buffer), static_cast<std::size_t>(count)});
    } catch (...) {
        io.failure = std::current_exception();
        return 0;
    }
    io.position += static_cast<std::uint64_t>(count);
    io.length = std::max(io.length, io.position);
    return count;
}

sf_count_t io_tell(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).position); }

int format_of(sound_container container, std::uint64_t samples) {
    switch (container) {
        case sound_container::wav:
            return (samples > max_wav_samples ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
        case sound_container::flac:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        case sound_container::aiff:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    }
    return 0;
}

// The most samples that `format` holds.
std::uint64_t capacity_of(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
            return max_wav_samples;
        case SF_FORMAT_AIFF:
            return max_aiff_samples;
        default:
            return std::numeric_limits<std::uint64_t>::max();
    }
}

}  // namespace

bool container_holds(sound_container container, std::uint64_t samples) {
    return samples <= capacity_of(format_of(container, samples));
}

std::optional<sound_container> container_for_name(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "wav") return sound_container::wav;
    if (extension == "flac") return sound_container::flac;
    if (extension == "aif" || extension == "aiff") return sound_container::aiff;
    return std::nullopt;
}

struct sound_writer::state {
    explicit state(byte_sink& output) : io{output, 0, 0, nullptr} {}
    ~state() {
        if (file != nullptr) sf_close(file);
    }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    void check(bool ok) const {
        if (io.failure) std::rethrow_exception(io.failure);
        if (!ok) throw audio_error{audio_errc::unwritable};
    }

    output_io io;
    SF_VIRTUAL_IO callbacks{io_length, io_seek, io_read, io_write, io_tell};
    SNDFILE* file = nullptr;
    std::uint64_t room = 0;  // the samples the container still holds
};

sound_writer::sound_writer(byte_sink& output, sound_container container, long rate_hz, std::uint64_t samples)
    : state_(std::make_unique<state>(output)) {
    const int format = format_of(container, samples);
    state_->room = capacity_of(format);
    state_->check(samples <= state_->room);
    // The header is completed at the end: a pipe is refused before it gets
    // a whole stream with no header to rewind to.
    output.seek(0);
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate_hz);
    info.channels = 1;
    info.format = format;
    state_->file = sf_open_virtual(&state_->callbacks, SFM_WRITE, &info, &state_->io);
    state_->check(state_->file != nullptr);
}

sound_writer::~sound_writer() = default;

void sound_writer::write(std::span<const std::int16_t> samples) {
    state_->check(samples.size() <= state_->room);
    state_->room -= samples.size();
    const auto count = static_cast<sf_count_t>(samples.size());
    state_->check(sf_write_short(state_->file, samples.data(), count) == count);
}

void sound_writer::finish() {
    const int status = sf_close(std::exchange(state_->file, nullptr));
    state_->check(status == 0);
}

}  // namespace nbz::audio
