#pragma once
// The search encoder command: nbzhq Input.raw Output.nbz [dBGain]

#include <iosfwd>
#include <string>

#include "command.h"

namespace nbz::cli {

// Like nbz, but chooses the codes by search (see search_encoder.h) for a
// closer reconstruction and no overflow where it can be avoided. Prints the
// same level line as nbz, for the stream it wrote, then the
// signal-to-noise ratio of the reconstruction against the gained input.
int run_nbzhq(arguments args, std::ostream& out, file_system& files);
int run_nbzhq(arguments args, std::ostream& out);

// "Signal-to-noise ratio: X dB" with X to two decimals, "inf" when the
// reconstruction equals the input, and a newline.
std::string snr_report(double signal_energy, double noise_energy);

}  // namespace nbz::cli
