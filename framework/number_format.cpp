#include "framework/number_format.h"

#include <cstdlib>

namespace framework {

std::string FormatNumber(std::string_view pattern, std::int64_t value)
{
    const auto first = pattern.find_first_of("0#");
    const auto last = pattern.find_last_of("0#");
    const std::string_view prefix = first == std::string_view::npos ? pattern : pattern.substr(0, first);
    const std::string_view suffix = last == std::string_view::npos ? std::string_view() : pattern.substr(last + 1);

    std::size_t minimumDigits = first == std::string_view::npos ? 1 : 0;
    if (first != std::string_view::npos)
        for (char c : pattern.substr(first, last - first + 1))
            minimumDigits += c == '0';

    std::string digits = std::to_string(value < 0 ? -(value + 1) + std::uint64_t{1} : std::uint64_t(value));
    if (digits == "0" && minimumDigits == 0)
        digits.clear();
    if (digits.size() < minimumDigits)
        digits.insert(0, minimumDigits - digits.size(), '0');

    std::string out(prefix);
    if (value < 0)
        out += '-';
    out += digits;
    out += suffix;
    return out;
}

} // namespace framework
