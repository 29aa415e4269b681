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
using std::chrono::nanoseconds;

// "12 ms", "0.4 ms", "3.7 s", "86400 s": as many figures as a person reads at a glance,
// without a sign.
std::string Magnitude(nanoseconds value)
{
    const double seconds = std::abs(std::chrono::duration<double>(value).count());
    char text[48];
    if (seconds >= 100)
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds >= 1)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else if (seconds >= 0.01)
        std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
    else
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

std::string Signed(nanoseconds value)
{
    return (value < nanoseconds(0) ? "-" : "+") + Magnitude(value);
}

// "+2.500123 s", to the microsecond, for the log.
std::string LogSeconds(nanoseconds value)
{
    char text[48];
    const long long micros = std::chrono::round<std::chrono::microseconds>(value).count();
    std::snprintf(text, sizeof text, "%c%lld.%06lld s", micros < 0 ? '-' : '+', std::llabs(micros) / 1'000'000,
                  std::llabs(micros) % 1'000'000);
    return text;
}

// "2024-06-01 10:00:02 UTC", for a second a time code may carry: up to the year 9999.
std::string UtcText(std::int64_t second)
{
    const time_t seconds = static_cast<time_t>(second);
    tm utc{};
    char text[64] = "?";
    if (gmtime_r(&seconds, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return std::string(text) + " UTC";
}

// "2024-06-01 10:00:02.500 UTC", for a reading of the PC's clock.
std::string UtcText(platform::UtcTime time)
{
    const auto whole = std::chrono::floor<std::chrono::seconds>(time);
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, ".%03lld",
                  static_cast<long long>(std::chrono::duration_cast<milliseconds>(time - whole).count()));
    const std::string text = UtcText(whole.time_since_epoch().count());
    return text.substr(0, text.size() - 4) + fraction + " UTC";
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
        return "the server's time " + UtcText(update.serverSecond)
             + (update.serverSecond < platform::EarliestSettableSecond() ? " is before this program was built"
                                                                         : " is after 2200-01-01");
    case Outcome::OverLimit:
        return "the server's time is "
             + Distance(std::chrono::duration_cast<milliseconds>(update.estimate.offset), update.maxStepSeconds)
             + " away (limit " + std::to_string(update.maxStepSeconds) + " s)";
    case Outcome::Set:
    case Outcome::NotNeeded:
    case Outcome::DryRun:
        break;
    }
    return {};
}

} // namespace

bool ClockUpdate::ExceedsStepLimit() const
{
    return correction.kind == Correction::Kind::Step && maxStepSeconds != 0
        && std::chrono::abs(correction.amount) > std::chrono::seconds(maxStepSeconds);
}

std::string ClockNotSetPanelText(const ClockUpdate& update)
{
    // The README tells how to give the program the right to set the clock.
    const bool readmeHelps =
        update.result.outcome == Outcome::Refused || update.result.outcome == Outcome::HelperMissing;
    return "Clock not set: " + NotSetReason(update) + (readmeHelps ? " (see README)" : "");
}

std::string OffsetText(const Estimate& estimate)
{
    return Signed(estimate.offset) + " \u00B1 " + Magnitude(estimate.errorBound);
}

std::string ClockTipLine(const ClockUpdate& update, const platform::CivilTime& localNow)
{
    if (!update.result.Succeeded())
        return "Clock not set: " + NotSetReason(update);
    const std::string when =
        "Last update " + framework::FormatDateTime("hh:nn:ss", framework::EncodeDateTime(localNow)) + ": ";
    const bool dryRun = update.result.outcome == Outcome::DryRun;
    switch (update.correction.kind) {
    case Correction::Kind::None:
        break;
    case Correction::Kind::Step:
        return when + (dryRun ? "clock not stepped by " : "clock stepped by ") + Signed(update.correction.amount)
             + (dryRun ? " (dry run)" : " (\u00B1 " + Magnitude(update.estimate.errorBound) + ")");
    case Correction::Kind::Slew:
        return when + "offset " + OffsetText(update.estimate) + (dryRun ? ", not slewed (dry run)" : ", slewing");
    }
    return when + "offset " + OffsetText(update.estimate) + (update.slewing ? ", slewing" : "");
}

std::string ClockLogLine(const ClockUpdate& update, const ClockUpdateContext& context)
{
    const std::string pc = UtcText(update.pcTime);
    const std::string details = "offset " + LogSeconds(update.estimate.offset) + " \u00B1 "
                              + LogSeconds(update.estimate.errorBound).substr(1) + "; server " + context.server
                              + ", source " + SourceName(context.source) + ", state " + std::to_string(context.state)
                              + ")";
    const std::string amount = LogSeconds(update.correction.amount);
    if (!update.result.Succeeded())
        return "clock not set: " + NotSetReason(update) + "; it stays at " + pc + ", the server said "
             + UtcText(update.serverSecond) + " (" + details;
    const std::string dryRun = update.result.outcome == Outcome::DryRun ? "not " : "";
    const std::string dryRunNote = dryRun.empty() ? "" : "dry run; ";
    switch (update.correction.kind) {
    case Correction::Kind::Step:
        return "clock " + dryRun + "stepped by " + amount + " from " + pc + " (" + dryRunNote + details;
    case Correction::Kind::Slew:
        return "clock " + dryRun + "slewed by " + amount + " at " + pc + " (" + dryRunNote + details;
    case Correction::Kind::None:
        break;
    }
    // Right, or right once the slew under way is done.
    return (update.slewing ? "clock slewing at " : "clock right at ") + pc + " (" + details;
}

} // namespace keeper
