// Conversion between UTF-8, used inside the program, and GB18030, the
// superset of code page 936 in which stored record text is kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sorrelon {

// nullopt when the input is not valid in its encoding.
std::optional<std::string> Gb18030ToUtf8(std::string_view gb);
std::optional<std::string> Utf8ToGb18030(std::string_view utf8);

}  // namespace sorrelon
