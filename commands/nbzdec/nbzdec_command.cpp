#include "nbzdec_command.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "audio_bridge.h"
#include "nbz/audio/writer.h"
#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"
#include "nbz/cli/streams.h"
#include "nbz/decoder.h"

namespace nbz::cli {
namespace {

// The run's settings, from the options and the output's name.
struct nbzdec_run {
    std::optional<long> rate_hz;                           // -r
    std::optional<audio::sound_container> container = {};  // the output's, by its name; none for raw PCM
};

// A container output needs a rate that it can store, and only it takes one.
void check_output_name(nbzdec_run& run, const std::string& output_name) {
    run.container = audio::container_for_name(output_name);
    if (run.container && !run.rate_hz) throw failure{failure_code::container_needs_rate};
    if (!run.container && run.rate_hz) throw failure{failure_code::rate_needs_container_output};
    if (run.container == audio::sound_container::flac && *run.rate_hz > audio::max_flac_rate_hz)
        throw failure{failure_code::flac_rate_too_high};
}

// Eight samples for each code word.
std::uint64_t samples_of(const input_file& input) { return input.size() / 4 * 8; }

// Before any work: a stream of whole words, and a container that holds it.
void check_input(const nbzdec_run& run, const input_file& input) {
    if (input.size() % 4 != 0) throw failure{failure_code::not_whole_words};
    if (run.container && !audio::container_holds(*run.container, samples_of(input)))
        throw failure{failure_code::aiff_too_long, std::to_string(audio::max_aiff_samples)};
}

// Replays every code word of the input, passing each chunk's samples to
// `consume`; returns the decoder's state at the end.
encoder_state decode_words(input_file& input, const std::function<void(std::span<const std::int32_t>)>& consume) {
    encoder_state state;
    encoder_init(state);
    std::vector<std::int32_t> samples(chunk_bytes / 4 * 8);  // one chunk of words
    read_code_words(input, [&](std::span<const std::uint32_t> words) {
        for (std::size_t w = 0; w < words.size(); ++w)
            decode_block(state, words[w], std::span{samples}.subspan(8 * w).first<8>());
        consume(std::span{samples}.first(8 * words.size()));
    });
    return state;
}

encoder_state decode_to_raw(input_file& input, output_file& output) {
    chunk_writer writer{output};
    const encoder_state state = decode_words(input, [&](std::span<const std::int32_t> samples) {
        writer.put_samples(samples);  // saturated
    });
    writer.flush();
    return state;
}

encoder_state decode_to_container(const nbzdec_run& run, input_file& input, output_file& output) {
    try {
        file_sink sink{output};
        audio::sound_writer writer{sink, *run.container, *run.rate_hz, samples_of(input)};
        std::vector<std::int16_t> pcm(chunk_bytes / 4 * 8);
        const encoder_state state = decode_words(input, [&](std::span<const std::int32_t> samples) {
            std::transform(samples.begin(), samples.end(), pcm.begin(),
                           [](std::int32_t v) { return static_cast<std::int16_t>(std::clamp(v, -32768, 32767)); });
            writer.write(std::span{pcm}.first(samples.size()));
        });
        writer.finish();
        return state;
    } catch (...) {
        rethrow_as_command_failure();
    }
}

// Decodes the whole input into the output and returns the report.
std::string decode(const nbzdec_run& run, input_file& input, output_file& output) {
    const encoder_state state = run.container ? decode_to_container(run, input, output) : decode_to_raw(input, output);
    return messages::level_report(state.peak);
}

}  // namespace

int run_nbzdec(arguments args, std::ostream& out, file_system& files) {
    try {
        const command_options options = parse_options(args, {.width = false});
        if (print_help_or_version(options, out, "nbzdec", messages::nbzdec_help)) return exit_success;
        nbzdec_run run{.rate_hz = options.rate_hz};
        return run_command(options.positionals, out, files,
                           {.usage = messages::nbzdec_usage,
                            .takes_gain = false,
                            .check_arguments = [&](arguments positionals) { check_output_name(run, positionals[1]); },
                            .open_input = [&](const input_file& input) { check_input(run, input); },
                            .write_output = [&](input_file& input, output_file& output,
                                                double /*gain*/) { return decode(run, input, output); }});
    } catch (...) {
        return report_failure(out);
    }
}

int run_nbzdec(arguments args, std::ostream& out) { return run_nbzdec(args, out, system_files()); }

}  // namespace nbz::cli
