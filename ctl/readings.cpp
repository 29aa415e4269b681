#include "ctl/readings.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace ctl {
namespace {

constexpr std::int64_t kMinute = 60, kHour = 3600, kDay = 86400;
constexpr std::uint64_t kMillisecond = 1000, kSecond = 1'000'000;

std::string Named(int number, std::initializer_list<std::pair<int, const char*>> names)
{
    if (number == -1)
        return "unknown";
    for (const auto& [value, name] : names) {
        if (value == number)
            return name;
    }
    return "unknown (" + std::to_string(number) + ")";
}

// `count` parts of which `whole` make one, as a decimal without trailing zeros: 1200 of
// 1000 is "1.2". `whole` is a power of ten.
std::string Decimal(std::uint64_t count, std::uint64_t whole)
{
    std::string text = std::to_string(count / whole);
    if (const std::uint64_t fraction = count % whole; fraction != 0) {
        std::string digits = std::to_string(fraction + whole).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

// The size of `value`, safe for the most negative one.
std::uint64_t Magnitude(std::int64_t value)
{
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

} // namespace

std::string SourceName(int source)
{
    return Named(source, {{0, "PC Clock"}, {1, "GPS"}, {3, "NTP"}});
}

std::string StateName(int state)
{
    return Named(state, {{0, "not in sync"}, {1, "holdover"}, {2, "in sync"}, {3, "unknown"}});
}

std::int64_t SecondsBetween(std::uint64_t fromUsec, std::uint64_t toUsec)
{
    const std::uint64_t distance = toUsec >= fromUsec ? toUsec - fromUsec : fromUsec - toUsec;
    const auto seconds = static_cast<std::int64_t>(distance / kSecond);
    return toUsec >= fromUsec ? seconds : -seconds;
}

std::string SpanText(std::int64_t seconds)
{
    const auto pair = [](std::int64_t large, const char* largeUnit, std::int64_t small, const char* smallUnit) {
        std::string text = std::to_string(large) + largeUnit;
        if (small != 0)
            text += " " + std::to_string(small) + smallUnit;
        return text;
    };
    if (seconds < 0)
        seconds = 0;
    if (seconds < kMinute)
        return std::to_string(seconds) + "s";
    if (seconds < kHour)
        return pair(seconds / kMinute, "min", seconds % kMinute, "s");
    if (seconds < kDay)
        return pair(seconds / kHour, "h", seconds % kHour / kMinute, "min");
    return pair(seconds / kDay, "d", seconds % kDay / kHour, "h");
}

std::string RelativeText(std::int64_t seconds)
{
    if (seconds > 0)
        return "in " + SpanText(seconds);
    if (seconds < 0)
        return SpanText(-seconds) + " ago";
    return "now";
}

std::string AmountText(std::int64_t microseconds, bool withSign)
{
    const std::uint64_t size = Magnitude(microseconds);
    std::string text;
    if (size < kMillisecond)
        text = std::to_string(size) + " µs";
    else if (const std::uint64_t milliseconds = (size + kMillisecond / 2) / kMillisecond; milliseconds < 1000)
        text = std::to_string(milliseconds) + " ms";
    else
        text = Decimal(milliseconds, 1000) + " s";
    if (microseconds < 0)
        return "-" + text;
    return withSign && microseconds > 0 ? "+" + text : text;
}

std::string OffsetText(std::int64_t offsetUsec, std::uint64_t boundUsec)
{
    const auto bound = static_cast<std::int64_t>(std::min<std::uint64_t>(boundUsec, INT64_MAX));
    return AmountText(offsetUsec, true) + " ± " + AmountText(bound, false);
}

std::string DecimalSeconds(std::int64_t microseconds, int places)
{
    std::uint64_t whole = kSecond, step = 1;
    for (int place = 6; place > places; --place) {
        whole /= 10;
        step *= 10;
    }
    const std::uint64_t rounded = (Magnitude(microseconds) + step / 2) / step;
    return (microseconds < 0 && rounded != 0 ? "-" : "") + Decimal(rounded, whole);
}

std::string LocalTimeText(std::uint64_t usecSince1970)
{
    const auto seconds = static_cast<time_t>(usecSince1970 / kSecond);
    tm local{};
    std::array<char, 64> text{};
    if (!localtime_r(&seconds, &local) || strftime(text.data(), text.size(), "%a %Y-%m-%d %H:%M:%S %Z", &local) == 0)
        return std::to_string(usecSince1970) + " µs since 1970";
    return text.data();
}

std::vector<std::string> NonBlankLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const std::string::size_type end = std::min(text.find('\n', start), text.size());
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace ctl
