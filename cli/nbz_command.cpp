#include "nbz_command.h"

#include <array>

#include "gain.h"
#include "messages.h"
#include "nbz/nbz.h"
#include "streams.h"

namespace nbz::cli {

int run_nbz(arguments args, std::ostream& out, file_system& files) {
    const command_definition definition{messages::nbz_usage, true};
    return run_command(args, out, files, definition,
                       [](input_file& input, output_file& output, const std::optional<std::string>& gain) {
                           encoder_state state;
                           encoder_init(state);
                           chunk_writer writer{output};
                           std::array<std::uint32_t, chunk_bytes / 16> words{};
                           read_pcm_blocks(input, gain_factor(gain),
                                           [&](std::span<const std::int16_t> samples, std::size_t) {
                                               const std::size_t blocks = samples.size() / 8;
                                               for (std::size_t b = 0; b < blocks; ++b)
                                                   words[b] = encode_block(state, samples.subspan(8 * b).first<8>());
                                               writer.put_words(std::span{words}.first(blocks));
                                           });
                           writer.flush();
                           return level_report(state.peak);
                       });
}

int run_nbz(arguments args, std::ostream& out) { return run_nbz(args, out, system_files()); }

}  // namespace nbz::cli
