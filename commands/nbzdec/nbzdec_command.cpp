#include "nbzdec_command.h"

#include <algorithm>
#include <vector>

#include "audio_bridge.h"
#include "nbz/audio/writer.h"
#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"
#include "nbz/cli/streams.h"
#include "nbz/decoder.h"

namespace nbz::cli {
namespace {

void check_whole_words(const input_file& input) {
    if (input.size() % 4 != 0) throw failure{failure_code::not_whole_words};
}

}  // namespace

int run_nbzdec(arguments args, std::ostream& out, file_system& files) {
    try {
        const command_options options = parse_options(args, {.width = false});
        if (print_help_or_version(options, out, "nbzdec", messages::nbzdec_help)) return exit_success;

        std::optional<audio::sound_container> container;
        const auto check_arguments = [&](arguments positionals) {
            container = audio::container_for_name(positionals[1]);
            if (container && !options.rate_hz) throw failure{failure_code::container_needs_rate};
            if (!container && options.rate_hz) throw failure{failure_code::rate_needs_container_output};
            if (container == audio::sound_container::flac && *options.rate_hz > audio::max_flac_rate_hz)
                throw failure{failure_code::flac_rate_too_high};
        };

        // Replays every code word into samples and returns the report.
        const auto decode = [&](input_file& input, output_file& output, double /*gain*/) {
            encoder_state state;
            encoder_init(state);
            std::vector<std::int32_t> samples(chunk_bytes / 4 * 8);  // one chunk of words
            if (container) {
                try {
                    file_sink sink{output};
                    audio::sound_writer writer{sink, *container, *options.rate_hz};
                    std::vector<std::int16_t> pcm(samples.size());
                    read_code_words(input, [&](std::span<const std::uint32_t> words) {
                        for (std::size_t w = 0; w < words.size(); ++w)
                            decode_block(state, words[w], std::span{samples}.subspan(8 * w).first<8>());
                        const std::size_t count = 8 * words.size();
                        std::transform(
                            samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(count), pcm.begin(),
                            [](std::int32_t v) { return static_cast<std::int16_t>(std::clamp(v, -32768, 32767)); });
                        writer.write(std::span{pcm}.first(count));
                    });
                    writer.finish();
                } catch (...) {
                    rethrow_as_command_failure();
                }
            } else {
                chunk_writer writer{output};
                read_code_words(input, [&](std::span<const std::uint32_t> words) {
                    for (std::size_t w = 0; w < words.size(); ++w)
                        decode_block(state, words[w], std::span{samples}.subspan(8 * w).first<8>());
                    writer.put_samples(std::span{samples}.first(8 * words.size()));
                });
                writer.flush();
            }
            return messages::level_report(state.peak);
        };

        return run_command(options.positionals, out, files,
                           {messages::nbzdec_usage, false, check_arguments, check_whole_words, decode});
    } catch (...) {
        return report_failure(out);
    }
}

int run_nbzdec(arguments args, std::ostream& out) { return run_nbzdec(args, out, system_files()); }

}  // namespace nbz::cli
