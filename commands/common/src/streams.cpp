#include "nbz/cli/streams.h"

#include <algorithm>

#include "nbz/cli/failure.h"
#include "nbz/prepare/gain.h"

namespace nbz::cli {
namespace {

constexpr std::int16_t load_le16(const std::byte* p) {
    return static_cast<std::int16_t>(std::to_integer<std::uint16_t>(p[0]) | std::to_integer<std::uint16_t>(p[1]) << 8);
}

constexpr std::uint32_t load_le32(const std::byte* p) {
    return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8 |
           std::to_integer<std::uint32_t>(p[2]) << 16 | std::to_integer<std::uint32_t>(p[3]) << 24;
}

void read_exactly(input_file& input, std::span<std::byte> buffer) {
    if (read_fully(input, buffer) != buffer.size()) throw failure{failure_code::read_failed};
}

}  // namespace

void read_pcm_blocks(input_file& input, double gain,
                     const std::function<void(std::span<const std::int16_t> blocks, std::size_t real)>& consume) {
    constexpr std::size_t chunk_samples = chunk_bytes / 2;
    std::vector<std::byte> bytes(chunk_bytes);
    std::vector<std::int16_t> samples(chunk_samples);
    for (std::uint64_t left = input.size() / 2; left > 0;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk_samples));
        read_exactly(input, std::span{bytes}.first(count * 2));
        for (std::size_t i = 0; i < count; ++i) samples[i] = load_le16(&bytes[2 * i]);
        if (gain != 1.0) {  // a gain of exactly 1 leaves every sample as it is
            for (std::size_t i = 0; i < count; ++i) samples[i] = scale_sample(samples[i], gain);
        }
        const std::size_t padded = (count + 7) / 8 * 8;
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(count),
                  samples.begin() + static_cast<std::ptrdiff_t>(padded), std::int16_t{0});
        consume(std::span{samples}.first(padded), count);
        left -= count;
    }
}

void read_code_words(input_file& input, const std::function<void(std::span<const std::uint32_t> words)>& consume) {
    constexpr std::size_t chunk_words = chunk_bytes / 4;
    std::vector<std::byte> bytes(chunk_bytes);
    std::vector<std::uint32_t> words(chunk_words);
    for (std::uint64_t left = input.size() / 4; left > 0;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk_words));
        read_exactly(input, std::span{bytes}.first(count * 4));
        for (std::size_t i = 0; i < count; ++i) words[i] = load_le32(&bytes[4 * i]);
        consume(std::span{words}.first(count));
        left -= count;
    }
}

chunk_writer::chunk_writer(output_file& output) : output_(output), buffer_(chunk_bytes) {}

std::span<std::byte> chunk_writer::room(std::size_t bytes) {
    if (buffer_.size() - used_ < bytes) flush();
    const auto span = std::span{buffer_}.subspan(used_, bytes);
    used_ += bytes;
    return span;
}

void chunk_writer::put_words(std::span<const std::uint32_t> words) {
    constexpr std::size_t batch = chunk_bytes / 4;
    for (std::size_t start = 0; start < words.size(); start += batch) {
        const auto part = words.subspan(start, std::min(batch, words.size() - start));
        std::byte* p = room(part.size() * 4).data();
        for (const std::uint32_t w : part) {
            for (int b = 0; b < 4; ++b) *p++ = static_cast<std::byte>(w >> (8 * b));
        }
    }
}

void chunk_writer::put_samples(std::span<const std::int32_t> samples) {
    constexpr std::size_t batch = chunk_bytes / 2;
    for (std::size_t start = 0; start < samples.size(); start += batch) {
        const auto part = samples.subspan(start, std::min(batch, samples.size() - start));
        std::byte* p = room(part.size() * 2).data();
        for (const std::int32_t v : part) {
            const auto s = static_cast<std::uint16_t>(std::clamp(v, -32768, 32767));
            *p++ = static_cast<std::byte>(s);
            *p++ = static_cast<std::byte>(s >> 8);
        }
    }
}

void chunk_writer::flush() {
    if (used_ > 0) output_.write(std::span{buffer_}.first(used_));
    used_ = 0;
}

}  // namespace nbz::cli
