#pragma once
// The search encoder command: nbzhq [options] Input Output.nbz [dBGain]

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "nbz/audio/reader.h"
#include "nbz/cli/command.h"

namespace nbz::cli {

// Like nbz, but chooses the codes by search (see search_encoder.h) for a
// closer reconstruction and no overflow where it can be avoided, and reads
// audio containers too: options first (see messages::nbzhq_help), then
// Input Output [dBGain]. An input that is_sound_container() is decoded,
// mixed to mono, resampled with -r and converted once to 16 bits after the
// gain; any other input is raw PCM exactly as nbz reads it. Prints, for a
// container only, what was read and done (input_report), then the same
// level line as nbz for the stream it wrote, then the signal-to-noise ratio
// of the reconstruction against the gained input. While it runs, shows its
// progress on standard error if that is a terminal.
int run_nbzhq(arguments args, std::ostream& out, file_system& files);
int run_nbzhq(arguments args, std::ostream& out);

// "Signal-to-noise ratio: X dB" with X to two decimals, "inf" when the
// reconstruction equals the input, and a newline.
std::string snr_report(double signal_energy, double noise_energy);

// "Input: WAV, 48000 Hz, 2 channels, 24-bit PCM, mixed to mono, resampled to
// 22050 Hz, 661500 samples encoded" and a newline; "mixed to mono" only for
// more than one channel, "resampled to" only when `resampled_hz` is given,
// "(the file ends early)" after the count when `ended_early`.
std::string input_report(const audio::sound_description& sound, std::optional<long> resampled_hz, std::uint64_t samples,
                         bool ended_early);

}  // namespace nbz::cli
