#include "nbz/platform/files.h"

namespace nbz::cli {

std::size_t read_fully(input_file& input, std::span<std::byte> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = input.read(buffer.subspan(done));
        if (n == 0) break;
        done += n;
    }
    return done;
}

}  // namespace nbz::cli
