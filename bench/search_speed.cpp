// search_speed [--kernel=reference|plain|avx2|avx512] [--width=N] FILE.raw ...
//
// The native side of bench/web_speed.mjs: encodes each raw mono PCM16 file
// by search and prints "FILE SPEED", the speed in M samples per second of
// this thread's processor time (which other jobs on a shared machine
// disturb less than wall time). The plain kernel at width 64 by default.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "nbz/search_encoder.h"

namespace {

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// M samples per second of processor time that the search takes over `x`.
double speed(const std::vector<std::int16_t>& x, int width, nbz::search_kernel kernel) {
    const double t0 = thread_seconds();
    const nbz::search_encoder_ptr encoder = nbz::search_create(width, kernel);
    std::array<std::uint32_t, nbz::search_max_words> words{};
    for (std::size_t b = 0; b + 8 <= x.size(); b += 8)
        nbz::search_encode_block(*encoder, std::span{x}.subspan(b).first<8>(), words);
    nbz::search_finish(*encoder, words);
    return static_cast<double>(x.size()) / (thread_seconds() - t0) / 1e6;
}

constexpr const char* usage = "Usage: search_speed [--kernel=reference|plain|avx2|avx512] [--width=N] FILE.raw ...\n";

}  // namespace

int main(int argc, char** argv) {
    nbz::search_kernel kernel = nbz::search_kernel::plain;
    int width = 64;
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--kernel=")) {
            const std::string name = arg.substr(9);
            kernel = name == "reference" ? nbz::search_kernel::reference
                     : name == "avx2"    ? nbz::search_kernel::avx2
                     : name == "avx512"  ? nbz::search_kernel::avx512
                                         : nbz::search_kernel::plain;
            if ((name != "plain" && kernel == nbz::search_kernel::plain) || kernel > nbz::search_widest_kernel()) {
                std::printf("No kernel %s on this processor.\n%s", name.c_str(), usage);
                return 2;
            }
        } else if (arg.starts_with("--width=")) {
            width = std::atoi(arg.c_str() + 8);
            if (width < 1 || width > nbz::search_width_max) {
                std::printf("Widths are 1 to %d.\n%s", nbz::search_width_max, usage);
                return 2;
            }
        } else {
            std::ifstream in(arg, std::ios::binary);
            const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
            if (!in.is_open() || in.bad()) {
                std::printf("Couldn't read %s.\n", arg.c_str());
                return 1;
            }
            std::vector<std::int16_t> x(bytes.size() / 2);
            for (std::size_t k = 0; k < x.size(); ++k)
                x[k] = static_cast<std::int16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8);
            std::printf("%s %.4f\n", arg.c_str(), speed(x, width, kernel));
            ++files;
        }
    }
    if (files == 0) std::printf("%s", usage);
    return files == 0 ? 2 : 0;
}
