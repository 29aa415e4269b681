#include "keeper/clock_keeping.h"

#include "framework/date_time.h"
#include "platform/clock_range.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace keeper {
namespace {

using Outcome = platform::ClockSetResult::Outcome;
using std::chrono::milliseconds;

// "+0.3 s", "-2.5 s", "+3 s": tenths of a second, without a trailing ".0".
std::string TipSeconds(milliseconds value)
{
    const long long tenths = std::llround(static_cast<double>(value.count()) / 100.0);
    const long long magnitude = std::llabs(tenths);
    std::string text = (tenths < 0 ? "-" : "+") + std::to_string(magnitude / 10);
    if (magnitude % 10 != 0)
        text += "." + std::to_string(magnitude % 10);
    return text + " s";
}

// "+2.500 s", to the millisecond, for the log.
std::string LogSeconds(milliseconds value)
{
    char text[48];
    const long long count = value.count();
    std::snprintf(text, sizeof text, "%c%lld.%03lld s", count < 0 ? '-' : '+', std::llabs(count) / 1000,
                  std::llabs(count) % 1000);
    return text;
}

// "2024-06-01 10:00:02.500 UTC"; the milliseconds only when asked for.
std::string UtcText(platform::UtcMilliseconds time, bool withMilliseconds)
{
    const auto whole = std::chrono::floor<std::chrono::seconds>(time);
    const time_t seconds = static_cast<time_t>(whole.time_since_epoch().count());
    tm utc{};
    char text[64] = "?";
    if (gmtime_r(&seconds, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    std::string shown = text;
    if (withMilliseconds) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03lld", static_cast<long long>((time - whole).count()));
        shown += fraction;
    }
    return shown + " UTC";
}

// "2.7 s", "3601 s": seconds to the tenth, rounded up, without a trailing ".0".
std::string TenthsUp(milliseconds value)
{
    const long long tenths = (std::llabs(value.count()) + 99) / 100;
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0)
        text += "." + std::to_string(tenths % 10);
    return text + " s";
}

// How far the server's time is, for a refusal by the step limit, as a person says it: "3
// years", "2 days", "5 minutes". The limit is checked to the millisecond, so the words never
// round the distance into the limit: seconds are given to the tenth rounded up ("2.7 s", not
// "2 s", for 2.64 s against 2 s), and so is any distance whose whole units would come to no
// more than the limit ("3601 s", not "60 minutes", against 3600 s).
std::string Distance(milliseconds value, std::uint32_t limitSeconds)
{
    const long long seconds = std::llabs(value.count()) / 1000;
    constexpr long long kMinute = 60, kHour = 3600, kDay = 86400, kYear = 31'557'600; // a Julian year
    if (seconds < 2 * kMinute)
        return TenthsUp(value);
    const auto [unit, name] = seconds >= 2 * kYear ? std::pair(kYear, "years")
                            : seconds >= 2 * kDay  ? std::pair(kDay, "days")
                            : seconds >= 2 * kHour ? std::pair(kHour, "hours")
                                                   : std::pair(kMinute, "minutes");
    const long long count = seconds / unit;
    if (count * unit <= static_cast<long long>(limitSeconds))
        return TenthsUp(value);
    return std::to_string(count) + " " + name;
}

std::string SourceName(int source)
{
    switch (source) {
    case 0:
        return "PC Clock";
    case 1:
        return "GPS";
    case 3:
        return "NTP";
    default:
        return std::to_string(source);
    }
}

// Why the clock was not set, in a few words.
std::string NotSetReason(const ClockUpdate& update)
{
    switch (update.result.outcome) {
    case Outcome::Refused:
        return update.result.reason;
    case Outcome::HelperMissing:
        return "tavrin-set-clock not found";
    case Outcome::HelperFailed:
        return "tavrin-set-clock failed: " + update.result.reason;
    case Outcome::OutOfRange:
        return "the server's time "
             + UtcText(platform::UtcMilliseconds(std::chrono::seconds(update.serverSecond)), false)
             + (update.serverSecond < platform::EarliestSettableSecond() ? " is before this program was built"
                                                                         : " is after 2200-01-01");
    case Outcome::OverLimit:
        return "the server's time is " + Distance(update.Offset(), update.maxStepSeconds) + " away (limit "
             + std::to_string(update.maxStepSeconds) + " s)";
    case Outcome::Set:
    case Outcome::NotNeeded:
    case Outcome::DryRun:
        break;
    }
    return {};
}

} // namespace

milliseconds ClockUpdate::Offset() const
{
    return pcTime.time_since_epoch() - std::chrono::seconds(serverSecond);
}

bool ClockUpdate::PcIsRight() const
{
    const milliseconds offset = Offset();
    return offset >= milliseconds(0) && offset < std::chrono::seconds(1) + kTransitAllowance;
}

bool ClockUpdate::ExceedsStepLimit() const
{
    return maxStepSeconds != 0 && std::chrono::abs(Offset()) > std::chrono::seconds(maxStepSeconds);
}

std::string ClockNotSetPanelText(const ClockUpdate& update)
{
    // The README tells how to give the program the right to set the clock.
    const bool readmeHelps =
        update.result.outcome == Outcome::Refused || update.result.outcome == Outcome::HelperMissing;
    return "Clock not set: " + NotSetReason(update) + (readmeHelps ? " (see README)" : "");
}

std::string ClockTipLine(const ClockUpdate& update, const platform::CivilTime& localNow)
{
    if (!update.result.Succeeded())
        return "Clock not set: " + NotSetReason(update);
    const std::string when =
        "Last update " + framework::FormatDateTime("hh:nn:ss", framework::EncodeDateTime(localNow));
    const std::string step = TipSeconds(-update.Offset());
    switch (update.result.outcome) {
    case Outcome::NotNeeded:
        return when + ": clock right (offset " + TipSeconds(update.Offset()) + ")";
    case Outcome::DryRun:
        return when + ": clock not stepped by " + step + " (dry run)";
    default:
        return when + ": clock stepped by " + step;
    }
}

std::string ClockLogLine(const ClockUpdate& update, const ClockUpdateContext& context)
{
    const std::string server = UtcText(platform::UtcMilliseconds(std::chrono::seconds(update.serverSecond)), true);
    const std::string pc = UtcText(update.pcTime, true);
    const std::string details = "offset " + LogSeconds(update.Offset()) + "; server " + context.server + ", source "
                              + SourceName(context.source) + ", state " + std::to_string(context.state) + ")";
    const std::string step = LogSeconds(-update.Offset());
    switch (update.result.outcome) {
    case Outcome::Set:
        return "clock stepped by " + step + " from " + pc + " to " + server + " (" + details;
    case Outcome::DryRun:
        return "clock not stepped by " + step + " from " + pc + " to " + server + " (dry run; " + details;
    case Outcome::NotNeeded:
        return "clock right at " + pc + " (" + details;
    default:
        return "clock not set: " + NotSetReason(update) + "; it stays at " + pc + ", the server said " + server + " ("
             + details;
    }
}

} // namespace keeper
