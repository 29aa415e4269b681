#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace framework {

namespace detail {
// Copies `pattern` into `out` up to its next "%s" or "%d", which it consumes and returns;
// returns 0 when the pattern ran out first.
char CopyToNextDirective(std::string& out, std::string_view& pattern);
}

// Fills "%s" and "%d" in order with the arguments, as the program's message texts are
// written ("Invalid data type for '%s'"). "%%" stands for one "%". Directives without an
// argument stay as they are.
template <typename... Args>
std::string Format(std::string_view pattern, const Args&... args)
{
    std::string out;
    auto fill = [&](const auto& arg) {
        if (!detail::CopyToNextDirective(out, pattern))
            return;
        std::ostringstream text;
        text << arg;
        out += text.str();
    };
    (fill(args), ...);
    while (const char unfilled = detail::CopyToNextDirective(out, pattern)) {
        out += '%';
        out += unfilled;
    }
    return out;
}

} // namespace framework
