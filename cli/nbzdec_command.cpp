#include "nbzdec_command.h"

#include <vector>

#include "messages.h"
#include "nbz/decoder.h"
#include "streams.h"

namespace nbz::cli {
namespace {

std::string_view check_whole_words(const input_file& input) {
    return input.size() % 4 == 0 ? std::string_view{} : messages::not_whole_words;
}

// Replays every code word into samples and returns the report.
std::string decode(input_file& input, output_file& output, const std::optional<std::string>& /*gain*/) {
    encoder_state state;
    encoder_init(state);
    chunk_writer writer{output};
    std::vector<std::int32_t> samples(chunk_bytes / 4 * 8);  // one chunk of words
    read_code_words(input, [&](std::span<const std::uint32_t> words) {
        for (std::size_t w = 0; w < words.size(); ++w)
            decode_block(state, words[w], std::span{samples}.subspan(8 * w).first<8>());
        writer.put_samples(std::span{samples}.first(8 * words.size()));
    });
    writer.flush();
    return level_report(state.peak);
}

}  // namespace

int run_nbzdec(arguments args, std::ostream& out, file_system& files) {
    return run_command(args, out, files, {messages::nbzdec_usage, false, check_whole_words}, decode);
}

int run_nbzdec(arguments args, std::ostream& out) { return run_nbzdec(args, out, system_files()); }

}  // namespace nbz::cli
