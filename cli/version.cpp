#include "version.h"

namespace nbz::cli {

std::string_view kernel_display_name(search_kernel kernel) {
    switch (kernel) {
        case search_kernel::plain:
            return "plain";
        case search_kernel::avx2:
            return "AVX2";
        case search_kernel::avx512:
            return "AVX-512";
    }
    return "unknown";
}

std::string version_text(std::string_view name) {
    std::string text{name};
    text += ' ';
    text += NBZ_VERSION;
    text += " (search kernel: ";
    text += kernel_display_name(search_widest_kernel());
    text += ')';
    return text;
}

}  // namespace nbz::cli
