#include "nbzhq_command.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "audio_bridge.h"
#include "nbz/audio/detect.h"
#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"
#include "nbz/cli/progress.h"
#include "nbz/cli/streams.h"
#include "nbz/meter.h"
#include "nbz/platform/process.h"
#include "nbz/search_encoder.h"
#include "sound_blocks.h"

namespace nbz::cli {

namespace {

// A container input: its reader with the source it reads, made and closed
// with the decoders' notes kept off standard error.
struct sound_input {
    explicit sound_input(input_file& input) : source{input} {
        const quiet_standard_error quiet;
        reader.emplace(source);
    }
    ~sound_input() {
        const quiet_standard_error quiet;
        reader.reset();
    }
    sound_input(const sound_input&) = delete;
    sound_input& operator=(const sound_input&) = delete;

    file_source source;
    std::optional<audio::sound_reader> reader;
};

}  // namespace

int run_nbzhq(arguments args, std::ostream& out, file_system& files) {
    try {
        const command_options options = parse_options(args, {.width = true});
        if (print_help_or_version(options, out, "nbzhq", messages::nbzhq_help())) return exit_success;

        // Set when the input is a container, before the output is opened.
        std::unique_ptr<sound_input> sound;
        const auto open_input = [&](input_file& input) {
            std::array<std::byte, audio::sound_signature_bytes> head{};
            const std::size_t length = read_fully(input, head);
            if (audio::is_sound_container(std::span{head}.first(length))) {
                try {
                    sound = std::make_unique<sound_input>(input);
                } catch (...) {
                    rethrow_as_command_failure();
                }
                return;
            }
            if (options.rate_hz) throw failure{failure_code::rate_needs_container};
            input.seek(0);
        };

        // Encodes the whole input by search and returns the report lines.
        const auto encode_by_search = [&](input_file& input, output_file& output, double gain) -> std::string {
            try {
                const search_encoder_ptr search = search_create(options.width.value_or(search_default_width));
                chunk_writer writer{output};
                reconstruction_meter meter;
                std::array<std::uint32_t, search_max_words> words{};
                const auto put = [&](std::size_t count) {
                    const auto done_words = std::span{words}.first(count);
                    meter.received(done_words);
                    writer.put_words(done_words);
                };
                progress_meter progress{progress_terminal()};
                std::uint64_t done = 0;
                std::uint64_t expected = input.size() / 2;
                const auto encode = [&](std::span<const std::int16_t> samples, std::size_t real) {
                    for (std::size_t b = 0; b < samples.size(); b += 8) {
                        const auto block = samples.subspan(b).first<8>();
                        meter.sent(block, real > b ? real - b : 0);
                        put(search_encode_block(*search, block, words));
                    }
                    progress.update(done += real, expected);
                };

                std::string report;
                if (sound) {
                    const audio::sound_description& description = sound->reader->description();
                    const auto resampled_hz =
                        options.rate_hz != description.rate_hz ? options.rate_hz : std::optional<long>{};
                    // Only for the progress; bounded so that a header's wild frame
                    // count cannot overflow the conversion.
                    const double ratio =
                        resampled_hz ? static_cast<double>(*resampled_hz) / static_cast<double>(description.rate_hz)
                                     : 1.0;
                    expected =
                        static_cast<std::uint64_t>(std::min(static_cast<double>(description.frames) * ratio, 1e18));
                    const std::uint64_t samples = read_sound_blocks(*sound->reader, resampled_hz, gain, encode);
                    report = messages::input_report({description.format, description.rate_hz, description.channels,
                                                     description.sample_format, resampled_hz, samples,
                                                     sound->reader->ended_early()});
                } else {
                    read_pcm_blocks(input, gain, encode);
                }
                put(search_finish(*search, words));
                writer.flush();
                return report + messages::level_report(meter.level()) +
                       messages::snr_report(snr_db(meter.signal_energy(), meter.noise_energy()));
            } catch (...) {
                rethrow_as_command_failure();
            }
        };

        return run_command(options.positionals, out, files,
                           {messages::nbzhq_usage, true, {}, open_input, encode_by_search});
    } catch (...) {
        return report_failure(out);
    }
}

int run_nbzhq(arguments args, std::ostream& out) { return run_nbzhq(args, out, system_files()); }

}  // namespace nbz::cli
