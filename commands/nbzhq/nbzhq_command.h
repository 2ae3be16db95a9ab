#pragma once
// The search encoder command: nbzhq [options] Input Output.nbz [dBGain]

#include <iosfwd>

#include "nbz/cli/command.h"

namespace nbz::cli {

// Like nbz, but chooses the codes by search (see search_encoder.h) for a
// closer reconstruction and no overflow where it can be avoided, and reads
// audio containers too: options first (see messages::nbzhq_help), then
// Input Output [dBGain]. Its steps: open the input; probe it (an input that
// is_sound_container() gets its reader, any other is raw PCM exactly as nbz
// reads it); decide the rate (resampled only where -r names a rate other
// than the file's own) and the gain once; encode (a container is mixed to
// mono, resampled, and converted once to 16 bits after the gain); report:
// for a container what was read and done (messages::input_report), then the
// same level line as nbz for the stream it wrote, then the signal-to-noise
// ratio of the reconstruction against the gained input. While it runs,
// shows its progress on standard error if that is a terminal.
int run_nbzhq(arguments args, std::ostream& out, file_system& files);
int run_nbzhq(arguments args, std::ostream& out);

}  // namespace nbz::cli
