// Arbitrary bytes as nbzhq's input: the signature check and, for what passes
// for a container, the audio library's decoding, the mix to mono, and nbzhq's
// resampling and conversion to 16 bits. Nothing may crash or be undefined, a
// failure may only be the reader's own, and every chunk handed on is whole
// blocks. The file's
// last byte picks the rate to resample to, if any.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

#include "nbz/audio/byte_io.h"
#include "nbz/audio/detect.h"
#include "nbz/audio/reader.h"
#include "nbz/prepare/resampler.h"
#include "sound_blocks.h"

namespace {

// A seek past the end, which no decoder should ask for.
struct beyond_the_end {};

class memory_input final : public nbz::audio::byte_source {
public:
    explicit memory_input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::span<std::byte> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
        if (n > 0) std::memcpy(buffer.data(), bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    void seek(std::uint64_t position) override {
        if (position > bytes_.size()) throw beyond_the_end{};
        position_ = static_cast<std::size_t>(position);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// A few bytes of some codecs decode to minutes of sound: enough is enough.
struct enough {};
constexpr std::uint64_t max_samples = std::uint64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    memory_input input{{bytes, size}};
    std::array<std::byte, nbz::audio::sound_signature_bytes> head{};
    const std::size_t length = input.read(head);
    if (!nbz::audio::is_sound_container(std::span{head}.first(length))) return 0;
    try {
        nbz::audio::sound_reader reader{input};
        const long from = reader.description().rate_hz;
        std::optional<long> rate;
        const unsigned pick = size > 0 ? bytes[size - 1] % 3U : 0;
        // Within the rates the command takes, and not so far apart that a
        // few frames become millions.
        if (pick > 0 && from >= 1000 && from <= 768000)
            rate = std::clamp(pick == 1 ? from / 3 : from * 2, 1000L, 768000L);
        std::uint64_t seen = 0;
        nbz::cli::read_sound_blocks(reader, rate, 1.0, [&](std::span<const std::int16_t> blocks, std::size_t real) {
            if (blocks.size() % 8 != 0 || real > blocks.size() || blocks.size() - real >= 8) std::abort();
            seen += real;
            if (seen > max_samples) throw enough{};
        });
    } catch (const nbz::audio::audio_error& error) {
        if (error.code == nbz::audio::audio_errc::unwritable) std::abort();
    } catch (const nbz::resampler_error&) {
    } catch (const beyond_the_end&) {
    } catch (const enough&) {
    }
    return 0;
}
