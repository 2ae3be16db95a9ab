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

// Eight samples for each code word.
std::uint64_t samples_of(const input_file& input) { return input.size() / 4 * 8; }

}  // namespace

int run_nbzdec(arguments args, std::ostream& out, file_system& files) {
    const command_options options = parse_options(args, {.width = false});
    if (const auto status = settle_options(options, out, "nbzdec", messages::nbzdec_help)) return *status;

    std::optional<audio::sound_container> container;
    const auto check_arguments = [&](arguments positionals) -> std::string_view {
        container = audio::container_for_name(positionals[1]);
        if (container && !options.rate_hz) return messages::container_needs_rate;
        if (!container && options.rate_hz) return messages::rate_needs_container_output;
        if (container == audio::sound_container::flac && *options.rate_hz > audio::max_flac_rate_hz)
            return messages::flac_rate_too_high;
        return {};
    };

    // Before any work: a stream of whole words, and a container that holds it.
    static_assert(audio::max_aiff_samples == 2147483624, "the number in messages::aiff_too_long");
    const auto check_input = [&](input_file& input) -> std::string_view {
        if (input.size() % 4 != 0) return messages::not_whole_words;
        if (container && !audio::container_holds(*container, samples_of(input))) return messages::aiff_too_long;
        return {};
    };

    // Replays every code word into samples and returns the report.
    const auto decode = [&](input_file& input, output_file& output, const std::optional<std::string>& /*gain*/) {
        encoder_state state;
        encoder_init(state);
        std::vector<std::int32_t> samples(chunk_bytes / 4 * 8);  // one chunk of words
        if (container) {
            try {
                file_sink sink{output};
                audio::sound_writer writer{sink, *container, *options.rate_hz, samples_of(input)};
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
        return level_report(state.peak);
    };

    return run_command(options.positionals, out, files, {messages::nbzdec_usage, false, check_arguments, check_input},
                       decode);
}

int run_nbzdec(arguments args, std::ostream& out) { return run_nbzdec(args, out, system_files()); }

}  // namespace nbz::cli
