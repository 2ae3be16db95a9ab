#pragma once
// What -V prints for nbzhq and nbzdec.

#include <string>
#include <string_view>

#include "nbz/search_encoder.h"

namespace nbz::cli {

// The name users know a kernel by: "plain", "AVX2" or "AVX-512".
std::string_view kernel_display_name(search_kernel kernel);

// "<name> <version> (search kernel: <kernel>)", the kernel being the one
// this processor runs, so that a reported speed says what it was measured on.
// No line end.
std::string version_text(std::string_view name);

}  // namespace nbz::cli
