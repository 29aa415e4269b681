#include "framework/format.h"

namespace framework::detail {

char CopyToNextDirective(std::string& out, std::string_view& pattern)
{
    while (!pattern.empty()) {
        const auto percent = pattern.find('%');
        if (percent == std::string_view::npos || percent + 1 == pattern.size()) {
            out += pattern;
            pattern = {};
            return 0;
        }
        out += pattern.substr(0, percent);
        const char directive = pattern[percent + 1];
        pattern.remove_prefix(percent + 2);
        if (directive == 's' || directive == 'd')
            return directive;
        out += '%';
        if (directive != '%')
            out += directive;
    }
    return 0;
}

} // namespace framework::detail
