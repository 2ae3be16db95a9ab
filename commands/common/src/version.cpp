#include "nbz/cli/version.h"

#include "nbz/search_encoder.h"

namespace nbz::cli {

std::string version_text(std::string_view name) {
    std::string text{name};
    text += ' ';
    text += NBZ_VERSION;
    text += " (search kernel: ";
    text += search_kernel_name(search_widest_kernel());
    text += ')';
    return text;
}

}  // namespace nbz::cli
