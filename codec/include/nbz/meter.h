#pragma once
// The figures of a stream's report, measured on the stream as a decoder
// reconstructs it: the level (the largest |output|, which the decoder's state
// keeps as `peak`), and the energies of the signal and of the error, from
// which the signal-to-noise ratio follows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "nbz/nbz.h"
#include "nbz/search_encoder.h"

namespace nbz {

// The largest level that 16-bit output holds; a higher level overflows.
inline constexpr std::uint32_t full_scale_level = 32767;

// How far `level` is above full scale; 0 when it is not.
constexpr std::uint32_t overflow_of(std::uint32_t level) {
    return level > full_scale_level ? level - full_scale_level : 0;
}

// 10 log10(signal / noise) in dB: +infinity when `noise_energy` is 0 (the
// reconstruction equals the input, silence included), -infinity when only
// the signal is 0.
double snr_db(double signal_energy, double noise_energy);

// Measures a stream while it is written: the samples are handed in as they
// go to the encoder, and the code words as they come back (the search hands
// them back up to its history later). Each sample waits until its word
// arrives; then its reconstruction, clamped to 16 bits as a player would
// play it, is compared with it. No allocation.
class reconstruction_meter {
public:
    reconstruction_meter();

    // A block sent to the encoder, of which the first `counted` samples are
    // the input's (the rest is the padding of the last block, not counted).
    // At most search_history_samples + 8 samples may wait at once.
    void sent(std::span<const std::int16_t, 8> block, std::size_t counted);

    // Code words that the encoder handed back, in stream order, each for a
    // block sent earlier.
    void received(std::span<const std::uint32_t> words);

    // The level so far: the largest |output| of every word received,
    // padding included, as the encoder's report gives it.
    std::uint32_t level() const { return decoder_.peak; }

    double signal_energy() const { return signal_energy_; }  // sum of x^2 over the counted samples
    double noise_energy() const { return noise_energy_; }    // sum of (clamp16(y) - x)^2

private:
    struct sample {
        std::int16_t value;
        bool counted;
    };
    encoder_state decoder_{};
    std::array<sample, search_history_samples + 8> waiting_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    double signal_energy_ = 0;
    double noise_energy_ = 0;
};

}  // namespace nbz
