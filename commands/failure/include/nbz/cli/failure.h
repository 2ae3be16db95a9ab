#pragma once
// The one way a command and its platform layer report a failure: thrown by
// value, caught at the top of the command, and printed as one line
// (messages::failure_text gives each code its text).

#include <string>

namespace nbz::cli {

enum class failure_code {
    // The files.
    open_input_failed,
    open_output_failed,
    same_file,
    same_as_standard_output,
    input_not_regular,
    read_failed,
    write_failed,
    final_copy_failed,  // copying a staged stream into the output failed; the output is now empty
    output_not_seekable,
    // The input's contents.
    not_whole_words,
    decode_failed,
    resample_failed,
    // The arguments and options; `detail` names the option or argument.
    unknown_option,  // detail: the argument as given
    bad_rate,        // detail: the option's name, -r or --rate
    bad_width,       // detail: the option's name, -w or --width
    rate_needs_container,
    container_needs_rate,
    flac_rate_too_high,
    aiff_too_long,  // detail: the most samples an AIFF file holds
    rate_needs_container_output,
    // The process.
    out_of_memory,
    unexpected,  // an exception that is none of the above
};

struct failure {
    failure_code code;
    std::string detail = {};  // what the text names, for the codes that say so; else empty
};

}  // namespace nbz::cli
