// Arbitrary bytes as nbzhq's input: the signature check and, for what passes
// for a container, the library's decoding through the commands' file
// interface, the mix to mono, the resampler and the conversion to 16 bits.
// Nothing may crash or be undefined, a failure may only be one of the
// reader's messages, and every chunk handed on is whole blocks. The file's
// last byte picks the rate to resample to, if any.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

#include "file_io.h"
#include "messages.h"
#include "sound_blocks.h"
#include "sound_format.h"
#include "sound_reader.h"

namespace {

using nbz::cli::io_failure;

class memory_input final : public nbz::cli::input_file {
public:
    explicit memory_input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    nbz::cli::file_identity identity() const override { return {0, 0}; }
    std::size_t read(std::span<std::byte> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
        if (n > 0) std::memcpy(buffer.data(), bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    void seek(std::uint64_t position) override {
        if (position > bytes_.size()) throw io_failure{nbz::cli::messages::read_failed};
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
    std::array<std::byte, nbz::cli::sound_signature_bytes> head{};
    const std::size_t length = nbz::cli::read_fully(input, head);
    if (!nbz::cli::is_sound_container(std::span{head}.first(length))) return 0;
    try {
        nbz::cli::sound_reader reader{input};
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
    } catch (const io_failure& failure) {
        if (failure.message != nbz::cli::messages::decode_failed &&
            failure.message != nbz::cli::messages::resample_failed &&
            failure.message != nbz::cli::messages::read_failed)
            std::abort();
    } catch (const enough&) {
    }
    return 0;
}
