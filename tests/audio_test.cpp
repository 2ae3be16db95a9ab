// The audio library on its own, over memory: telling containers from raw
// PCM, writing each container and reading it back, and the caller's own
// failures carried through the library unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nbz/audio/byte_io.h"
#include "nbz/audio/detect.h"
#include "nbz/audio/reader.h"
#include "nbz/audio/writer.h"

namespace nbz::testing {
namespace {

// What a source or sink throws of its own.
struct gone {};

class memory_sink final : public audio::byte_sink {
public:
    void write(std::span<const std::byte> data) override {
        if (fail_) throw gone{};
        if (bytes.size() < position_ + data.size()) bytes.resize(position_ + data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(position_));
        position_ += data.size();
    }
    void seek(std::uint64_t position) override { position_ = static_cast<std::size_t>(position); }
    void fail() { fail_ = true; }
    std::vector<std::byte> bytes;

private:
    std::size_t position_ = 0;
    bool fail_ = false;
};

// Reads `bytes`; with `readable`, throws once a read reaches beyond that
// many bytes.
class memory_source final : public audio::byte_source {
public:
    explicit memory_source(const std::vector<std::byte>& bytes, std::size_t readable = SIZE_MAX)
        : bytes_(bytes), readable_(readable) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::span<std::byte> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
        if (position_ + n > readable_) throw gone{};
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
        position_ += n;
        return n;
    }
    void seek(std::uint64_t position) override { position_ = static_cast<std::size_t>(position); }

private:
    const std::vector<std::byte>& bytes_;
    std::size_t readable_;
    std::size_t position_ = 0;
};

std::vector<std::int16_t> ramp(std::size_t length) {
    std::vector<std::int16_t> samples(length);
    for (std::size_t i = 0; i < length; ++i) samples[i] = static_cast<std::int16_t>(i * 2654435761U >> 16);
    samples.front() = -32768;
    samples.back() = 32767;
    return samples;
}

std::vector<std::byte> written(audio::sound_container container, const std::vector<std::int16_t>& samples) {
    memory_sink sink;
    audio::sound_writer writer{sink, container, 11025, samples.size()};
    const std::size_t half = samples.size() / 2;
    writer.write(std::span{samples}.first(half));
    writer.write(std::span{samples}.subspan(half));
    writer.finish();
    return sink.bytes;
}

TEST(AudioFiles, AreWrittenAndReadBackExactlyOverMemory) {
    const struct {
        audio::sound_container container;
        std::string format;
    } cases[] = {{audio::sound_container::wav, "WAV"},
                 {audio::sound_container::flac, "FLAC"},
                 {audio::sound_container::aiff, "AIFF"}};
    const std::vector<std::int16_t> samples = ramp(70001);  // more than a chunk
    for (const auto& c : cases) {
        const std::vector<std::byte> file = written(c.container, samples);
        EXPECT_TRUE(audio::is_sound_container(std::span{file}.first(audio::sound_signature_bytes))) << c.format;
        memory_source source{file};
        audio::sound_reader reader{source};
        const audio::sound_description& d = reader.description();
        EXPECT_EQ(d.format, c.format);
        EXPECT_EQ(d.sample_format, "16-bit PCM") << c.format;
        EXPECT_EQ(d.rate_hz, 11025) << c.format;
        EXPECT_EQ(d.channels, 1) << c.format;
        EXPECT_EQ(d.frames, samples.size()) << c.format;
        std::vector<double> mono(4096);
        std::vector<std::int16_t> back;
        while (const std::size_t n = reader.read_mono(mono)) {
            for (std::size_t i = 0; i < n; ++i) back.push_back(static_cast<std::int16_t>(mono[i] * 32768));
        }
        EXPECT_EQ(back, samples) << c.format;
        EXPECT_FALSE(reader.ended_early()) << c.format;
    }
}

TEST(AudioFiles, TheCallersOwnFailuresComeThroughUnchanged) {
    const std::vector<std::byte> file = written(audio::sound_container::wav, ramp(100000));
    memory_source unreadable{file, 0};
    EXPECT_THROW(audio::sound_reader{unreadable}, gone);
    memory_source cut{file, file.size() / 2};
    audio::sound_reader reader{cut};
    std::vector<double> mono(4096);
    const auto read_all = [&] {
        while (reader.read_mono(mono) > 0) {
        }
    };
    EXPECT_THROW(read_all(), gone);

    memory_sink sink;
    audio::sound_writer writer{sink, audio::sound_container::flac, 8000, 100000};
    sink.fail();
    const auto write_all = [&] {
        writer.write(ramp(100000));
        writer.finish();
    };
    EXPECT_THROW(write_all(), gone);
}

TEST(Detection, TakesOnlyUnambiguousSignatures) {
    const auto head = [](const std::string& text) {
        std::vector<std::byte> b;
        for (const char c : text) b.push_back(static_cast<std::byte>(c));
        return b;
    };
    const struct {
        std::string bytes;
        bool container;
    } cases[] = {
        {std::string{"RIFF\x24\0\0\0WAVEfmt ", 16}, true},
        {std::string{"RF64\xff\xff\xff\xffWAVEds64", 16}, true},
        {std::string{"FORM\0\0\0\x10"
                     "AIFFCOMM",
                     16},
         true},
        {std::string{"FORM\0\0\0\x10"
                     "AIFCFVER",
                     16},
         true},
        {std::string{"fLaC\0\0\0\x22", 8}, true},
        {std::string{"fLaC\x80\0\0\x22", 8}, true},  // STREAMINFO as the only block
        {std::string{"RIFX\0\0\0\x24WAVEfmt ", 16}, true},
        {std::string{"OggS\0\x02\0\0", 8}, true},
        {std::string{"ID3\x04\0\0\0\0\x01\x7f", 10}, true},
        {std::string{"caff\0\x01\0\0", 8}, true},
        {std::string{"RIFF\x24\0\0\0AVI LIST", 16}, false},  // another RIFF
        {std::string{"FORM\0\0\0\x10"
                     "8SVXVHDR",
                     16},
         false},                                      // another IFF the library reads
        {std::string{"OggS\x05\x02\0\0", 8}, false},  // a bad stream version
        {std::string{"OggS\0\x08\0\0", 8}, false},    // an undefined header type flag
        {std::string{"ID3\x09\0\0\0\0\0\0", 10}, false},
        {std::string{"ID3\x03\0\0\0\0\x80\0", 10}, false},  // a size byte with its high bit set
        {std::string{"ID3\x04\0\0\0\0\0\x80", 10}, false},
        {std::string{"fLaC\x01\0\0\x22", 8}, false},  // no STREAMINFO first
        {"fLaC", false},
        {std::string{"\xff\xfb\x90\x64\0\0\0\0", 8}, false},  // an MP3 frame header
        {std::string{".snd\0\0\0\x18", 8}, false},
        {"RIFF", false},  // too short to tell
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(audio::is_sound_container(head(c.bytes)), c.container) << c.bytes;
}

}  // namespace
}  // namespace nbz::testing
