#pragma once
// File names and arguments between the commands' UTF-8 and Windows' UTF-16.

#include <optional>
#include <string>
#include <string_view>

namespace nbz::cli {

// `text` in UTF-16; nothing if it is not valid UTF-8.
std::optional<std::wstring> wide_from_utf8(std::string_view text);

// `text` in UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_wide(std::wstring_view text);

}  // namespace nbz::cli
