#include "framework/convert.h"

#include "framework/exception.h"
#include "framework/format.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace framework {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view SkipLeadingBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

std::string_view TrimBlanks(std::string_view text)
{
    text = SkipLeadingBlanks(text);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// Length of the run of digits at the start of `text`.
std::size_t DigitRun(std::string_view text)
{
    std::size_t n = 0;
    while (n < text.size() && IsDigit(text[n]))
        ++n;
    return n;
}

[[noreturn]] void RaiseNotInteger(std::string_view text)
{
    throw ConvertError(Format("'%s' is not a valid integer value", text));
}

[[noreturn]] void RaiseNotFloat(std::string_view text)
{
    throw ConvertError(Format("'%s' is not a valid floating point value", text));
}

} // namespace

std::int32_t StrToInt(std::string_view text)
{
    std::string_view rest = SkipLeadingBlanks(text);
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    if (rest.empty() || DigitRun(rest) != rest.size())
        RaiseNotInteger(text);

    // Accumulate as a negative number so that the most negative value fits.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (char c : rest) {
        value = value * 10 + (c - '0');
        if (value > kLimit)
            RaiseNotInteger(text);
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max())
        RaiseNotInteger(text);
    return static_cast<std::int32_t>(value);
}

double StrToFloat(std::string_view text)
{
    std::string_view body = TrimBlanks(text);
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }

    // Check the shape first: from_chars alone would take "inf", "nan" and a second sign.
    std::string_view rest = body;
    std::size_t mantissaDigits = DigitRun(rest);
    rest.remove_prefix(mantissaDigits);
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        const std::size_t fraction = DigitRun(rest);
        mantissaDigits += fraction;
        rest.remove_prefix(fraction);
    }
    if (mantissaDigits == 0)
        RaiseNotFloat(text);
    if (!rest.empty() && (rest.front() == 'e' || rest.front() == 'E')) {
        rest.remove_prefix(1);
        if (!rest.empty() && (rest.front() == '+' || rest.front() == '-'))
            rest.remove_prefix(1);
        const std::size_t exponent = DigitRun(rest);
        if (exponent == 0)
            RaiseNotFloat(text);
        rest.remove_prefix(exponent);
    }
    if (!rest.empty())
        RaiseNotFloat(text);

    double value = 0;
    const auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (error != std::errc() || end != body.data() + body.size() || !std::isfinite(value))
        RaiseNotFloat(text);
    return negative ? -value : value;
}

} // namespace framework
