#include "nbz/audio/reader.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <string_view>
#include <vector>

#include "nbz/prepare/mix.h"

namespace nbz::audio {
namespace {

// libsndfile's virtual I/O over a byte_source. The library asks for a few
// kilobytes at a time; the source is read in large chunks. The library is C,
// so no exception may leave a callback (each is noexcept): a failure is kept
// here, the callback reports an error, and the caller rethrows it once the
// library call returns.
struct input_io {
    explicit input_io(byte_source& input) : file(input), size(input.size()) {}
    byte_source& file;
    const std::uint64_t size;    // the source's, fixed while it is read: asked once, outside the library
    std::uint64_t position = 0;  // where the library reads next
    std::exception_ptr failure;
    std::vector<std::byte> chunk;  // the file's bytes from chunk_start
    std::uint64_t chunk_start = 0;
    std::uint64_t file_position = 0;  // where the file itself reads next
};

constexpr std::size_t read_chunk_bytes = std::size_t{1} << 16;

// Reads until `buffer` is full or the source ends; returns the count read.
std::size_t read_fully(byte_source& source, std::span<std::byte> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = source.read(buffer.subspan(done));
        if (n == 0) break;
        done += n;
    }
    return done;
}

input_io& io_of(void* user) noexcept { return *static_cast<input_io*>(user); }

sf_count_t io_length(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).size); }

// The file itself moves only when a read needs bytes from elsewhere.
sf_count_t io_seek(sf_count_t offset, int whence, void* user) noexcept {
    input_io& io = io_of(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(io.position);
    if (whence == SEEK_END) base = static_cast<sf_count_t>(io.size);
    if (io.failure || offset > std::numeric_limits<sf_count_t>::max() - base || base + offset < 0) return -1;
    io.position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

// Copies what the chunk holds at the read position; 0 if it holds nothing
// there.
std::size_t from_chunk(input_io& io, std::span<std::byte> out) {
    if (io.position < io.chunk_start || io.position >= io.chunk_start + io.chunk.size()) return 0;
    const auto offset = static_cast<std::size_t>(io.position - io.chunk_start);
    const std::size_t n = std::min(out.size(), io.chunk.size() - offset);
    std::copy_n(io.chunk.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    io.position += n;
    return n;
}

sf_count_t io_read(void* buffer, sf_count_t count, void* user) noexcept {
    input_io& io = io_of(user);
    if (io.failure || count <= 0) return 0;
    const std::span out{static_cast<std::byte*>(buffer), static_cast<std::size_t>(count)};
    std::size_t done = 0;
    try {
        while (done < out.size()) {
            if (const std::size_t n = from_chunk(io, out.subspan(done))) {
                done += n;
                continue;
            }
            if (io.position >= io.size) break;  // nothing more to read
            if (io.file_position != io.position) io.file.seek(io.position);
            io.chunk.resize(read_chunk_bytes);
            io.chunk.resize(read_fully(io.file, io.chunk));
            io.chunk_start = io.position;
            io.file_position = io.position + io.chunk.size();
            if (io.chunk.empty()) break;
        }
    } catch (...) {
        io.failure = std::current_exception();
        return 0;
    }
    // Short of the size it promised: the file shrank.
    if (done < out.size() && io.position < io.size) {
        io.failure = std::make_exception_ptr(audio_error{audio_errc::source_short});
        return 0;
    }
    return static_cast<sf_count_t>(done);
}

sf_count_t io_write(const void* /*buffer*/, sf_count_t /*count*/, void* /*user*/) noexcept { return 0; }

sf_count_t io_tell(void* user) noexcept { return static_cast<sf_count_t>(io_of(user).position); }

std::string format_name(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
            return "WAV";
        case SF_FORMAT_RF64:
            return "RF64";
        case SF_FORMAT_W64:
            return "Wave64";
        case SF_FORMAT_AIFF:
            return "AIFF";
        case SF_FORMAT_CAF:
            return "CAF";
        case SF_FORMAT_FLAC:
            return "FLAC";
        case SF_FORMAT_OGG:
            return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS ? "Ogg Opus" : "Ogg Vorbis";
        case SF_FORMAT_MPEG:
            return "MP3";
        default:
            return "audio";
    }
}

std::string sample_format_name(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return "8-bit PCM";
        case SF_FORMAT_PCM_16:
            return "16-bit PCM";
        case SF_FORMAT_PCM_24:
            return "24-bit PCM";
        case SF_FORMAT_PCM_32:
            return "32-bit PCM";
        case SF_FORMAT_FLOAT:
            return "32-bit float";
        case SF_FORMAT_DOUBLE:
            return "64-bit float";
        case SF_FORMAT_ULAW:
            return "u-law";
        case SF_FORMAT_ALAW:
            return "A-law";
        default:
            return "compressed";
    }
}

constexpr std::size_t max_values = std::size_t{1} << 16;

// Bytes per sample of an uncompressed encoding, 0 for any other.
std::uint64_t sample_bytes(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return 1;
        case SF_FORMAT_PCM_16:
            return 2;
        case SF_FORMAT_PCM_24:
            return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 4;
        case SF_FORMAT_DOUBLE:
            return 8;
        default:
            return 0;
    }
}

// The frames a WAV or AIFF header promised. The library trims its count to
// the bytes the file holds, so a cut file would pass for a whole one; the
// data chunk's length as stored tells. A streaming writer's placeholder
// length (all ones) promises nothing.
std::uint64_t promised_frames(SNDFILE* file, const SF_INFO& info) {
    const auto frames = static_cast<std::uint64_t>(info.frames);
    const int type = info.format & SF_FORMAT_TYPEMASK;
    const std::uint64_t frame_bytes = sample_bytes(info.format) * static_cast<std::uint64_t>(info.channels);
    if ((type != SF_FORMAT_WAV && type != SF_FORMAT_WAVEX && type != SF_FORMAT_AIFF) || frame_bytes == 0) return frames;
    SF_CHUNK_INFO wanted{};
    const std::string_view id = type == SF_FORMAT_AIFF ? "SSND" : "data";
    std::copy(id.begin(), id.end(), std::begin(wanted.id));
    wanted.id_size = static_cast<unsigned>(id.size());
    SF_CHUNK_ITERATOR* chunk = sf_get_chunk_iterator(file, &wanted);
    SF_CHUNK_INFO found{};
    if (chunk == nullptr || sf_get_chunk_size(chunk, &found) != SF_ERR_NO_ERROR || found.datalen == 0xFFFFFFFF)
        return frames;
    // AIFF's sound data follows an offset and a block size.
    const std::uint64_t length = type == SF_FORMAT_AIFF ? std::max(found.datalen, 8U) - 8 : found.datalen;
    return std::max(frames, length / frame_bytes);
}

}  // namespace

struct sound_reader::state {
    explicit state(byte_source& input) : io{input} {}
    ~state() {
        if (file != nullptr) sf_close(file);
    }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    void throw_failure() const {
        if (io.failure) std::rethrow_exception(io.failure);
    }

    input_io io;
    SF_VIRTUAL_IO callbacks{io_length, io_seek, io_read, io_write, io_tell};
    SNDFILE* file = nullptr;
    sound_description description;
    std::vector<double> frames;  // one chunk, interleaved
    std::uint64_t frames_read = 0;
    bool frames_estimated = false;  // the header's count is a guess
    bool ended = false;
    bool ended_early = false;
};

sound_reader::sound_reader(byte_source& input) : state_(std::make_unique<state>(input)) {
    input.seek(0);
    SF_INFO info{};
    state_->file = sf_open_virtual(&state_->callbacks, SFM_READ, &info, &state_->io);
    state_->throw_failure();
    if (state_->file == nullptr || info.channels <= 0 || info.samplerate <= 0 || info.frames < 0)
        throw audio_error{audio_errc::undecodable};
    state_->description = {format_name(info.format), sample_format_name(info.format), info.samplerate, info.channels,
                           promised_frames(state_->file, info)};
    // MP3's count comes from the file's size, tags and all.
    state_->frames_estimated = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    // Floating-point data is read as it stands: values beyond full scale are
    // saturated after the gain, not before.
    sf_command(state_->file, SFC_SET_CLIPPING, nullptr, SF_FALSE);
}

sound_reader::~sound_reader() = default;

const sound_description& sound_reader::description() const { return state_->description; }

std::size_t sound_reader::read_mono(std::span<double> mono) {
    state& s = *state_;
    if (mono.empty() || s.ended) return 0;
    // At most one chunk of values, however many channels the file claims.
    const auto channels = static_cast<std::size_t>(s.description.channels);
    const std::size_t wanted = std::clamp<std::size_t>(max_values / channels, 1, mono.size());
    s.frames.resize(wanted * channels);
    const sf_count_t n = sf_readf_double(s.file, s.frames.data(), static_cast<sf_count_t>(wanted));
    const bool failed = n < 0 || sf_error(s.file) != SF_ERR_NO_ERROR;
    s.throw_failure();
    // What decoded before a failure is kept; the failure ends the file.
    const auto count = static_cast<std::size_t>(std::max<sf_count_t>(n, 0));
    s.frames_read += count;
    if (count == 0 || failed) {
        s.ended = true;
        const bool short_of_header = !s.frames_estimated && s.frames_read < s.description.frames;
        if (s.frames_read == 0 && (failed || s.description.frames > 0)) throw audio_error{audio_errc::undecodable};
        s.ended_early = failed || short_of_header;
    }
    mix_to_mono(s.frames, s.description.channels, mono.first(count));
    return count;
}

bool sound_reader::ended_early() const { return state_->ended_early; }

}  // namespace nbz::audio
