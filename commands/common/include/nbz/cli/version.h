#pragma once
// What -V prints for nbzhq and nbzdec.

#include <string>
#include <string_view>

namespace nbz::cli {

// "<name> <version> (search kernel: <kernel>)", the kernel being the one
// this processor runs, so that a reported speed says what it was measured on.
// No line end.
std::string version_text(std::string_view name);

}  // namespace nbz::cli
