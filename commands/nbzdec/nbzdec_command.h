#pragma once
// The decoder command: nbzdec [options] Input.nbz Output

#include <iosfwd>

#include "nbz/cli/command.h"

namespace nbz::cli {

// Replays the code stream file args[0] into raw mono 16-bit little-endian PCM
// in args[1], eight samples per code word (values beyond 16 bits saturated),
// and prints the maximum output level, the same line that nbz printed when it
// wrote the stream. A stream whose length is not a multiple of 4 bytes is
// refused before the output is opened. Options come first (see
// messages::nbzdec_help): an output named .wav, .flac, .aif or .aiff (any
// case) gets that container, mono 16-bit at the rate of -r, which it then
// requires; -r with any other output is refused. A WAV beyond 4 GiB is
// written as RF64; a stream longer than an AIFF holds is refused before the
// output is opened. Returns the exit status.
int run_nbzdec(arguments args, std::ostream& out, file_system& files);
int run_nbzdec(arguments args, std::ostream& out);

}  // namespace nbz::cli
