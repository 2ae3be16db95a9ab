#include "nbz_command.h"

#include <array>

#include "nbz/cli/messages.h"
#include "nbz/cli/streams.h"
#include "nbz/nbz.h"

namespace nbz::cli {
namespace {

// Encodes the whole input greedily, block by block, and returns the report.
std::string encode(input_file& input, output_file& output, double gain) {
    encoder_state state;
    encoder_init(state);
    chunk_writer writer{output};
    std::array<std::uint32_t, chunk_bytes / 16> words{};  // one chunk of samples
    read_pcm_blocks(input, gain, [&](std::span<const std::int16_t> samples, std::size_t /*real*/) {
        const std::size_t blocks = samples.size() / 8;
        for (std::size_t b = 0; b < blocks; ++b) words[b] = encode_block(state, samples.subspan(8 * b).first<8>());
        writer.put_words(std::span{words}.first(blocks));
    });
    writer.flush();
    return messages::level_report(state.peak);
}

}  // namespace

int run_nbz(arguments args, std::ostream& out, file_system& files) {
    return run_command(args, out, files, {.usage = messages::nbz_usage, .takes_gain = true, .write_output = encode});
}

int run_nbz(arguments args, std::ostream& out) { return run_nbz(args, out, system_files()); }

}  // namespace nbz::cli
