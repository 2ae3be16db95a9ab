#include "nbz/audio/reader.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "input_io.h"
#include "nbz/prepare/mix.h"
#include "sound_layout.h"
#include "stream_links.h"

namespace nbz::audio {
namespace {

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

// One libsndfile reader over a link's stretch of the file.
struct link {
    explicit link(input_io stretch) : io(std::move(stretch)) {}
    ~link() {
        if (file != nullptr) sf_close(file);
    }
    link(const link&) = delete;
    link& operator=(const link&) = delete;

    input_io io;
    SF_VIRTUAL_IO callbacks = input_callbacks();
    SNDFILE* file = nullptr;
    SF_INFO info{};
};

}  // namespace

struct sound_reader::state {
    explicit state(byte_source& input) : file{input} {}

    // Opens link `index`; null if the library cannot. Throws what the source
    // throws.
    std::unique_ptr<link> open(std::size_t index) {
        const std::uint64_t end = index + 1 < links.starts.size() ? links.starts[index + 1] : file.size();
        auto opened = std::make_unique<link>(
            input_io{file, links.starts[index], end, index == 0 ? layout.patch : header_patch{}, 0, nullptr});
        opened->file = sf_open_virtual(&opened->callbacks, SFM_READ, &opened->info, &opened->io);
        if (opened->io.failure) std::rethrow_exception(opened->io.failure);
        const SF_INFO& info = opened->info;
        if (opened->file == nullptr || info.channels <= 0 || info.samplerate <= 0 || info.frames < 0) return nullptr;
        // Floating-point data is read as it stands: values beyond full scale
        // are saturated after the gain, not before.
        sf_command(opened->file, SFC_SET_CLIPPING, nullptr, SF_FALSE);
        return opened;
    }

    // The frames the current link's header gives, 0 for none or a guess.
    std::uint64_t promised() const {
        const SF_INFO& info = current->info;
        // MP3's count comes from the file's size, unless the encoder stated
        // it (the first link only is looked at).
        const bool guess =
            (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && (link_index > 0 || !links.exact_length);
        return guess || info.frames == SF_COUNT_MAX ? 0 : static_cast<std::uint64_t>(info.frames);
    }

    // Moves on to the next link if there is one with the same rate and
    // channels; false otherwise, with a note if a link was left out.
    bool next_link() {
        if (link_index + 1 >= links.starts.size()) return false;
        std::unique_ptr<link> next = open(link_index + 1);
        if (!next || next->info.samplerate != description.rate_hz || next->info.channels != description.channels) {
            ended_early = true;
            return false;
        }
        current = std::move(next);
        ++link_index;
        link_frames_read = 0;
        return true;
    }

    byte_cursor file;
    data_layout layout;
    stream_links links;
    std::size_t link_index = 0;
    std::unique_ptr<link> current;
    sound_description description;
    std::vector<double> frames;  // one chunk, interleaved
    std::uint64_t frames_read = 0;
    std::uint64_t link_frames_read = 0;
    bool ended = false;
    bool ended_early = false;
};

sound_reader::sound_reader(byte_source& input) : state_(std::make_unique<state>(input)) {
    state& s = *state_;
    std::array<std::byte, 4> head{};
    s.file.seek(0);
    const auto kind = std::span{head}.first(s.file.read(head));
    const auto is = [&](std::string_view tag) {
        return kind.size() >= tag.size() && std::equal(tag.begin(), tag.end(), kind.begin(), [](char c, std::byte b) {
                   return static_cast<std::byte>(c) == b;
               });
    };
    // What libsndfile does not tell: the links of a chained stream, and what
    // a header promised.
    if (is("OggS")) {
        s.links = find_ogg_links(s.file);
    } else if (is("ID3")) {
        s.links = find_mp3_links(s.file);
    } else {
        s.layout = read_data_layout(s.file);
    }
    if (s.layout.header_cut) throw audio_error{audio_errc::undecodable};
    s.current = s.open(0);
    if (!s.current) throw audio_error{audio_errc::undecodable};
    const SF_INFO& info = s.current->info;
    s.description = {format_name(info.format), sample_format_name(info.format), info.samplerate, info.channels,
                     s.promised()};
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
    for (;;) {
        link& current = *s.current;
        const sf_count_t n = sf_readf_double(current.file, s.frames.data(), static_cast<sf_count_t>(wanted));
        const bool failed = n < 0 || sf_error(current.file) != SF_ERR_NO_ERROR;
        if (current.io.failure) std::rethrow_exception(current.io.failure);
        // What decoded before a failure is kept; the failure ends the file.
        const auto count = static_cast<std::size_t>(std::max<sf_count_t>(n, 0));
        s.frames_read += count;
        s.link_frames_read += count;
        if (count == 0 || failed) {
            // The link ends: the stream goes on in the next one.
            if (failed || s.link_frames_read < s.promised()) s.ended_early = true;
            if (failed || !s.next_link()) {
                s.ended = true;
                s.ended_early = s.ended_early || s.layout.cut || s.links.damaged;
                if (s.frames_read == 0 && (s.ended_early || s.description.frames > 0))
                    throw audio_error{audio_errc::undecodable};
            } else if (count == 0) {
                continue;
            }
        }
        mix_to_mono(s.frames, s.description.channels, mono.first(count));
        return count;
    }
}
bool sound_reader::ended_early() const { return state_->ended_early; }

}  // namespace nbz::audio
