#include "nbzhq_command.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "audio_bridge.h"
#include "nbz/audio/detect.h"
#include "nbz/audio/reader.h"
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

// The run's settings, each decided once: from the options before anything
// is opened, then from the input.
struct nbzhq_run {
    int width = search_default_width;
    std::optional<long> rate_option;          // -r as given
    std::unique_ptr<sound_input> sound = {};  // a container input; none for raw PCM
    std::optional<long> resample_to_hz = {};  // -r where it differs from the container's own rate
};

nbzhq_run settings_of(const command_options& options) {
    return {.width = options.width.value_or(search_default_width), .rate_option = options.rate_hz};
}

bool starts_as_container(input_file& input) {
    std::array<std::byte, audio::sound_signature_bytes> head{};
    const std::size_t length = read_fully(input, head);
    return audio::is_sound_container(std::span{head}.first(length));
}

// Probes the opened input: a container gets its reader, raw PCM is read
// from its start.
void probe(nbzhq_run& run, input_file& input) {
    if (!starts_as_container(input)) {
        input.seek(0);
        return;
    }
    try {
        run.sound = std::make_unique<sound_input>(input);
    } catch (...) {
        rethrow_as_command_failure();
    }
}

// Decides the rate, once: resampled only to a rate other than the file's
// own; raw PCM has no rate to convert from.
void decide_rate(nbzhq_run& run) {
    if (!run.rate_option) return;
    if (!run.sound) throw failure{failure_code::rate_needs_container};
    if (*run.rate_option != run.sound->reader->description().rate_hz) run.resample_to_hz = run.rate_option;
}

// The steps between opening the input and opening the output.
void open_input(nbzhq_run& run, input_file& input) {
    probe(run, input);
    decide_rate(run);
}

// How many samples the input will give, for the progress only; bounded, so
// that a header's wild frame count cannot overflow the conversion.
std::uint64_t expected_samples(const nbzhq_run& run, const input_file& input) {
    if (!run.sound) return input.size() / 2;
    const audio::sound_description& sound = run.sound->reader->description();
    const double ratio =
        run.resample_to_hz ? static_cast<double>(*run.resample_to_hz) / static_cast<double>(sound.rate_hz) : 1.0;
    return static_cast<std::uint64_t>(std::min(static_cast<double>(sound.frames) * ratio, 1e18));
}

// The search encoder writing the output, with the meter of the report and
// the progress.
class search_output {
public:
    search_output(int width, output_file& output, std::uint64_t expected)
        : search_{search_create(width)}, writer_{output}, progress_{progress_terminal()}, expected_{expected} {}

    // Whole blocks, of which the first `real` samples are the input's.
    void put(std::span<const std::int16_t> blocks, std::size_t real) {
        for (std::size_t b = 0; b < blocks.size(); b += 8) {
            const auto block = blocks.subspan(b).first<8>();
            meter_.sent(block, real > b ? real - b : 0);
            write(search_encode_block(*search_, block, words_));
        }
        progress_.update(done_ += real, expected_);
    }

    // Ends the stream and returns its level and signal-to-noise lines.
    std::string finish() {
        write(search_finish(*search_, words_));
        writer_.flush();
        return messages::level_report(meter_.level()) +
               messages::snr_report(snr_db(meter_.signal_energy(), meter_.noise_energy()));
    }

private:
    void write(std::size_t count) {
        const auto done_words = std::span{words_}.first(count);
        meter_.received(done_words);
        writer_.put_words(done_words);
    }

    search_encoder_ptr search_;
    chunk_writer writer_;
    reconstruction_meter meter_;
    progress_meter progress_;
    std::uint64_t done_ = 0;
    std::uint64_t expected_;
    std::array<std::uint32_t, search_max_words> words_{};
};

// Encodes a container's sound and returns its Input: line.
std::string encode_sound(const nbzhq_run& run, double gain, search_output& stream) {
    audio::sound_reader& reader = *run.sound->reader;
    const std::uint64_t samples =
        read_sound_blocks(reader, run.resample_to_hz, gain,
                          [&](std::span<const std::int16_t> blocks, std::size_t real) { stream.put(blocks, real); });
    const audio::sound_description& sound = reader.description();
    return messages::input_report({sound.format, sound.rate_hz, sound.channels, sound.sample_format, run.resample_to_hz,
                                   samples, reader.ended_early()});
}

// Encodes the whole input by search into the output and returns the report.
std::string encode(const nbzhq_run& run, input_file& input, output_file& output, double gain) {
    try {
        search_output stream{run.width, output, expected_samples(run, input)};
        if (!run.sound) {
            read_pcm_blocks(input, gain,
                            [&](std::span<const std::int16_t> blocks, std::size_t real) { stream.put(blocks, real); });
            return stream.finish();
        }
        const std::string input_line = encode_sound(run, gain, stream);
        return input_line + stream.finish();
    } catch (...) {
        rethrow_as_command_failure();
    }
}

}  // namespace

int run_nbzhq(arguments args, std::ostream& out, file_system& files) {
    try {
        const command_options options = parse_options(args, {.width = true});
        if (print_help_or_version(options, out, "nbzhq", messages::nbzhq_help())) return exit_success;
        nbzhq_run run = settings_of(options);
        return run_command(options.positionals, out, files,
                           {.usage = messages::nbzhq_usage,
                            .takes_gain = true,
                            .open_input = [&](input_file& input) { open_input(run, input); },
                            .write_output = [&](input_file& input, output_file& output,
                                                double gain) { return encode(run, input, output, gain); }});
    } catch (...) {
        return report_failure(out);
    }
}

int run_nbzhq(arguments args, std::ostream& out) { return run_nbzhq(args, out, system_files()); }

}  // namespace nbz::cli
