#include "nbz/meter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "nbz/decoder.h"

namespace nbz {

double snr_db(double signal_energy, double noise_energy) {
    if (noise_energy == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(signal_energy / noise_energy);
}

reconstruction_meter::reconstruction_meter() { encoder_init(decoder_); }

void reconstruction_meter::sent(std::span<const std::int16_t, 8> block, std::size_t counted) {
    for (std::size_t i = 0; i < 8; ++i) {
        waiting_[(first_ + count_) % waiting_.size()] = {block[i], i < counted};
        ++count_;
    }
}

void reconstruction_meter::received(std::span<const std::uint32_t> words) {
    std::array<std::int32_t, 8> out{};
    for (const std::uint32_t word : words) {
        decode_block(decoder_, word, out);
        for (const std::int32_t y : out) {
            const auto [x, counted] = waiting_[first_];
            first_ = (first_ + 1) % waiting_.size();
            --count_;
            if (!counted) continue;
            const double error = std::clamp(y, -32768, 32767) - static_cast<double>(x);
            signal_energy_ += static_cast<double>(x) * x;
            noise_energy_ += error * error;
        }
    }
}

}  // namespace nbz
