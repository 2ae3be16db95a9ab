#pragma once
// The encoder command: nbz Input.raw Output.nbz [dBGain]

#include <iosfwd>

#include "nbz/cli/command.h"

namespace nbz::cli {

// Encodes the raw mono 16-bit little-endian PCM file args[0], scaled by the
// optional gain args[2] in dB, into the code stream file args[1], and prints
// the maximum output level. Returns the exit status: 0 on success, 1 on a
// usage error or any failure (with its message, and no partial output left).
int run_nbz(arguments args, std::ostream& out, file_system& files);
int run_nbz(arguments args, std::ostream& out);

}  // namespace nbz::cli
