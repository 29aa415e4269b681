#include "platform/set_clock/request.h"

#include "platform/clock_calls.h"
#include "platform/clock_range.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <limits>

namespace setclock {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::size_t kMostFractionDigits = 9;
constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

bool AllDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Digits only, as a count; one too large for 64 bits is the largest.
std::optional<std::int64_t> Count(std::string_view text)
{
    if (!AllDigits(text))
        return std::nullopt;
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() ? count : kLargest;
}

// "+S" or "-S.F", F of one to nine digits; one too large for 64 bits of nanoseconds is the
// largest of its sign.
std::optional<nanoseconds> Offset(std::string_view text)
{
    if (text.size() < 2 || (text[0] != '+' && text[0] != '-'))
        return std::nullopt;
    const bool back = text[0] == '-';
    const std::string_view number = text.substr(1);
    const std::size_t point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
    if (!AllDigits(whole) || (point != std::string_view::npos && !AllDigits(fraction))
        || fraction.size() > kMostFractionDigits)
        return std::nullopt;
    std::int64_t nanos = 0;
    for (std::size_t digit = 0; digit < kMostFractionDigits; ++digit)
        nanos = nanos * 10 + (digit < fraction.size() ? fraction[digit] - '0' : 0);
    const std::int64_t seconds = *Count(whole);
    const std::int64_t magnitude =
        seconds > (kLargest - nanos) / kNanosecondsPerSecond ? kLargest : seconds * kNanosecondsPerSecond + nanos;
    return nanoseconds(back ? -magnitude : magnitude);
}

Parsed Malformed(std::string problem)
{
    return {std::nullopt, std::move(problem)};
}

// The argument as it can be shown on one line of a terminal.
std::string Shown(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    std::string shown;
    for (const char c : text.substr(0, kLongest))
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > kLongest)
        shown += "...";
    return shown;
}

std::string Utc(std::int64_t seconds)
{
    const time_t time = static_cast<time_t>(seconds);
    tm utc{};
    char text[32] = "?";
    if (gmtime_r(&time, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

Parsed ParseOffset(Request::Kind kind, const std::vector<std::string_view>& arguments)
{
    const std::string_view option = arguments[0];
    if (arguments.size() != 2) {
        return Malformed(std::string(option) + " takes one offset, such as +0.250 or -12, got "
                         + std::to_string(arguments.size() - 1));
    }
    const std::optional<nanoseconds> offset = Offset(arguments[1]);
    if (!offset) {
        return Malformed("'" + Shown(arguments[1])
                         + "' is not an offset: a sign, the seconds, and at most nine digits after a '.'");
    }
    Request request;
    request.kind = kind;
    request.offset = *offset;
    return {request, {}};
}

Parsed ParseErrors(const std::vector<std::string_view>& arguments)
{
    if (arguments.size() != 3) {
        return Malformed("--synchronised takes the maximum and the estimated error in microseconds, got "
                         + std::to_string(arguments.size() - 1) + " arguments");
    }
    for (const std::string_view error : {arguments[1], arguments[2]}) {
        if (!AllDigits(error))
            return Malformed("'" + Shown(error) + "' is not a count of microseconds: only the digits 0-9 are allowed");
    }
    Request request;
    request.kind = Request::Kind::MarkSynchronised;
    request.maxError = microseconds(*Count(arguments[1]));
    request.estError = microseconds(*Count(arguments[2]));
    return {request, {}};
}

} // namespace

Parsed ParseArguments(const std::vector<std::string_view>& arguments)
{
    if (!arguments.empty() && arguments[0] == "--step")
        return ParseOffset(Request::Kind::StepBy, arguments);
    if (!arguments.empty() && arguments[0] == "--slew")
        return ParseOffset(Request::Kind::SlewBy, arguments);
    if (!arguments.empty() && arguments[0] == "--synchronised")
        return ParseErrors(arguments);
    if (arguments.size() != 1) {
        return Malformed(
            "expected --step, --slew, --synchronised or one count of seconds since 1970-01-01 00:00:00 UTC, "
            + SettableRange() + ", got "
            + (arguments.empty() ? std::string("none") : std::to_string(arguments.size()) + " arguments"));
    }
    const std::optional<std::int64_t> seconds = Count(arguments[0]);
    if (!seconds) {
        return Malformed("'" + Shown(arguments[0]) + "' is not a count of seconds: only the digits 0-9 are allowed");
    }
    Request request;
    request.seconds = *seconds;
    return {request, {}};
}

int CarryOut(const Request& request)
{
    switch (request.kind) {
    case Request::Kind::SetTo:
        return platform::SetClockTo(request.seconds);
    case Request::Kind::StepBy:
        return platform::StepClockBy(request.offset);
    case Request::Kind::SlewBy:
        return platform::SlewClockBy(request.offset);
    case Request::Kind::MarkSynchronised:
        return platform::MarkClockSynchronised(request.maxError, request.estError);
    }
    return EINVAL;
}

bool IsWithinRange(const Request& request, nanoseconds now)
{
    switch (request.kind) {
    case Request::Kind::SetTo:
        return platform::IsSettableSecond(request.seconds);
    case Request::Kind::StepBy:
        return platform::IsSettableStep(now, request.offset);
    case Request::Kind::SlewBy:
        return platform::IsSlewable(request.offset);
    case Request::Kind::MarkSynchronised:
        return platform::AreTellableErrors(request.maxError, request.estError);
    }
    return false;
}

std::string SettableRange()
{
    return "from " + std::to_string(platform::EarliestSettableSecond()) + " (" + Utc(platform::EarliestSettableSecond())
         + ", the day this program was built) to " + std::to_string(platform::kLatestSettableSecond) + " ("
         + Utc(platform::kLatestSettableSecond) + ")";
}

std::vector<std::string> ArgumentsFor(const Request& request)
{
    switch (request.kind) {
    case Request::Kind::SetTo:
        return {std::to_string(request.seconds)};
    case Request::Kind::StepBy:
        return {"--step", OffsetText(request.offset)};
    case Request::Kind::SlewBy:
        return {"--slew", OffsetText(request.offset)};
    case Request::Kind::MarkSynchronised:
        return {"--synchronised", std::to_string(request.maxError.count()), std::to_string(request.estError.count())};
    }
    return {};
}

std::string OffsetText(nanoseconds offset)
{
    const std::int64_t count = offset.count();
    // As unsigned, so that the most negative count has a magnitude too.
    const std::uint64_t magnitude =
        count < 0 ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    const std::string nanos = std::to_string(magnitude % kNanosecondsPerSecond);
    return (count < 0 ? "-" : "+") + std::to_string(magnitude / kNanosecondsPerSecond) + "."
         + std::string(kMostFractionDigits - nanos.size(), '0') + nanos;
}

} // namespace setclock
