#include "nbzhq_command.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include "gain.h"
#include "messages.h"
#include "nbz/search_encoder.h"
#include "options.h"
#include "progress.h"
#include "sound_blocks.h"
#include "sound_format.h"
#include "streams.h"

namespace nbz::cli {

std::string snr_report(double signal_energy, double noise_energy) {
    const double ratio = noise_energy == 0 ? INFINITY : 10 * std::log10(signal_energy / noise_energy);
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.2f", ratio);
    return std::string{messages::snr_prefix} + text.data() + std::string{messages::snr_suffix} + "\n";
}

std::string input_report(const sound_description& sound, std::optional<long> resampled_hz, std::uint64_t samples,
                         bool ended_early) {
    std::string line = std::string{messages::input_prefix} + sound.format + ", " + std::to_string(sound.rate_hz) +
                       " Hz, " + std::to_string(sound.channels) + (sound.channels == 1 ? " channel, " : " channels, ") +
                       sound.sample_format;
    if (sound.channels > 1) line += ", mixed to mono";
    if (resampled_hz) line += ", resampled to " + std::to_string(*resampled_hz) + " Hz";
    line += ", " + std::to_string(samples) + (samples == 1 ? " sample encoded" : " samples encoded");
    return line + (ended_early ? " (the file ends early)\n" : "\n");
}

namespace {

std::string help_text() {
    std::string help{messages::nbzhq_help};
    const auto mark = help.find("%d");
    return help.replace(mark, 2, std::to_string(search_default_width));
}

}  // namespace

int run_nbzhq(arguments args, std::ostream& out, file_system& files) {
    const command_options options = parse_options(args, {.width = true});
    if (const auto status = settle_options(options, out, "nbzhq", help_text())) return *status;

    // Set when the input is a container, before the output is opened.
    std::unique_ptr<sound_reader> sound;
    const auto check_input = [&](input_file& input) -> std::string_view {
        std::array<std::byte, sound_signature_bytes> head{};
        const std::size_t length = read_fully(input, head);
        if (is_sound_container(std::span{head}.first(length))) {
            sound = std::make_unique<sound_reader>(input);
            return {};
        }
        if (options.rate_hz) return messages::rate_needs_container;
        input.seek(0);
        return {};
    };

    // Encodes the whole input by search and returns the report lines.
    const auto encode_by_search = [&](input_file& input, output_file& output, const std::optional<std::string>& gain) {
        const auto search = std::make_unique<search_encoder>();  // about 70 KiB: not on the stack
        search_init(*search, options.width.value_or(search_default_width));
        chunk_writer writer{output};
        std::array<std::uint32_t, search_max_words> words{};
        progress_meter progress{progress_terminal()};
        std::uint64_t done = 0;
        std::uint64_t expected = input.size() / 2;
        const auto encode = [&](std::span<const std::int16_t> samples, std::size_t real) {
            for (std::size_t b = 0; b < samples.size(); b += 8) {
                const int counted = static_cast<int>(std::min<std::size_t>(real > b ? real - b : 0, 8));
                writer.put_words(std::span{words}.first(
                    search_encode_block(*search, samples.subspan(b).first<8>(), words, counted)));
            }
            progress.update(done += real, expected);
        };

        std::string report;
        if (sound) {
            const sound_description& description = sound->description();
            const auto resampled_hz = options.rate_hz != description.rate_hz ? options.rate_hz : std::optional<long>{};
            // Only for the progress; bounded so that a header's wild frame
            // count cannot overflow the conversion.
            const double ratio =
                resampled_hz ? static_cast<double>(*resampled_hz) / static_cast<double>(description.rate_hz) : 1.0;
            expected = static_cast<std::uint64_t>(std::min(static_cast<double>(description.frames) * ratio, 1e18));
            const std::uint64_t samples = read_sound_blocks(*sound, resampled_hz, gain_factor(gain), encode);
            report = input_report(description, resampled_hz, samples, sound->ended_early());
        } else {
            read_pcm_blocks(input, gain_factor(gain), encode);
        }
        writer.put_words(std::span{words}.first(search_finish(*search, words)));
        writer.flush();
        return report + level_report(search->committed.peak) + snr_report(search->signal_energy, search->noise_energy);
    };

    return run_command(options.positionals, out, files, {messages::nbzhq_usage, true, {}, check_input},
                       encode_by_search);
}

int run_nbzhq(arguments args, std::ostream& out) { return run_nbzhq(args, out, system_files()); }

}  // namespace nbz::cli
