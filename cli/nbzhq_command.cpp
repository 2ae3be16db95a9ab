#include "nbzhq_command.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include "gain.h"
#include "messages.h"
#include "nbz/search_encoder.h"
#include "streams.h"

namespace nbz::cli {

std::string snr_report(double signal_energy, double noise_energy) {
    const double ratio = noise_energy == 0 ? INFINITY : 10 * std::log10(signal_energy / noise_energy);
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.2f", ratio);
    return std::string{messages::snr_prefix} + text.data() + std::string{messages::snr_suffix} + "\n";
}

namespace {

// Encodes the whole input by search and returns the two report lines.
std::string encode_by_search(input_file& input, output_file& output, const std::optional<std::string>& gain) {
    const auto search = std::make_unique<search_encoder>();  // about 70 KiB: not on the stack
    search_init(*search);
    chunk_writer writer{output};
    std::array<std::uint32_t, search_max_words> words{};
    read_pcm_blocks(input, gain_factor(gain), [&](std::span<const std::int16_t> samples, std::size_t real) {
        for (std::size_t b = 0; b < samples.size(); b += 8) {
            const int counted = static_cast<int>(std::min<std::size_t>(real > b ? real - b : 0, 8));
            writer.put_words(
                std::span{words}.first(search_encode_block(*search, samples.subspan(b).first<8>(), words, counted)));
        }
    });
    writer.put_words(std::span{words}.first(search_finish(*search, words)));
    writer.flush();
    return level_report(search->committed.peak) + snr_report(search->signal_energy, search->noise_energy);
}

}  // namespace

int run_nbzhq(arguments args, std::ostream& out, file_system& files) {
    return run_command(args, out, files, {messages::nbzhq_usage, true}, encode_by_search);
}

int run_nbzhq(arguments args, std::ostream& out) { return run_nbzhq(args, out, system_files()); }

}  // namespace nbz::cli
