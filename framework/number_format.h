#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace framework {

// Formats a whole number with a pattern of digit placeholders and literal text: "0" is a
// digit that is always written, "#" one written only when significant; text before and
// after the placeholders is copied ("0s" gives "42s"). A pattern without placeholders
// is read as if it ended with "0".
std::string FormatNumber(std::string_view pattern, std::int64_t value);

} // namespace framework
