#include "ctl/check.h"

#include "ctl/readings.h"
#include "platform/escaped_text.h"

#include <algorithm>

namespace ctl {
namespace {

CheckResult Result(CheckStatus status, const std::string& text)
{
    constexpr const char* kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return {status, std::string("TAVRIN ") + kWords[static_cast<int>(status)] + " - " + text};
}

// The service's words as one line, escaped, without the '|' that would start the
// performance data.
std::string Plain(const std::string& text)
{
    std::string plain = platform::EscapedText(text);
    std::replace(plain.begin(), plain.end(), '|', '/');
    return plain;
}

} // namespace

CheckResult CheckService(const ServiceStatus& status, const CheckLimits& limits, std::uint64_t nowUsec)
{
    const std::string failing = status.failing && !status.lastResult.empty() ? "; " + Plain(status.lastResult) : "";
    if (status.server.empty())
        return Result(CheckStatus::Critical, "no server set: tavrinctl set-server ADDRESS");
    if (!status.Updated())
        return Result(CheckStatus::Critical, "no update yet from " + Plain(status.server) + failing);
    if (status.lastUpdateUsec == kUnreadableTime)
        return Result(CheckStatus::Unknown, "the service gives no time of its last update that can be read");
    if (const std::int64_t ahead = SecondsBetween(nowUsec, status.lastUpdateUsec); ahead > kFutureToleranceSeconds)
        return Result(CheckStatus::Unknown,
                      "the last update lies " + std::to_string(ahead) + " s in the future: was the clock put back?");

    // A clock stepped back since the update makes it look younger than now, not older.
    const std::int64_t age = std::max<std::int64_t>(SecondsBetween(status.lastUpdateUsec, nowUsec), 0);
    const CheckStatus verdict = age > limits.critSeconds ? CheckStatus::Critical
                              : age > limits.warnSeconds ? CheckStatus::Warning
                                                         : CheckStatus::Ok;
    // To the millisecond for a person; the performance data keeps every microsecond.
    std::string shown = DecimalSeconds(status.offsetUsec, 3);
    if (shown != "0" && status.offsetUsec > 0)
        shown.insert(0, "+");
    return Result(verdict, "last update " + std::to_string(age) + " s ago, offset " + shown + " s" + failing
                               + " | age=" + std::to_string(age) + "s;" + std::to_string(limits.warnSeconds) + ";"
                               + std::to_string(limits.critSeconds) + " offset=" + DecimalSeconds(status.offsetUsec)
                               + "s");
}

CheckResult CheckFailure(const BusFailure& failure)
{
    using Kind = BusFailure::Kind;
    const bool absent =
        failure.kind == Kind::NoBus || failure.kind == Kind::NotRunning || failure.kind == Kind::NoAnswer;
    return Result(absent ? CheckStatus::Critical : CheckStatus::Unknown, Plain(FailureText(failure)));
}

CheckResult CheckUsageError(const std::string& error)
{
    return Result(CheckStatus::Unknown, Plain(error) + " (try tavrinctl --help)");
}

} // namespace ctl
