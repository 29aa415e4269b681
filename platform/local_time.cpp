#include "platform/local_time.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
namespace {

static_assert(sizeof(time_t) >= sizeof(std::int64_t), "a 32-bit time_t would wrap in 2038");

// How long a look at the system's zone file holds; shorter than a clock tick, so every
// tick still follows a change of it.
constexpr auto kZoneFileFreshness = std::chrono::milliseconds(200);

// Follows a change of time zone. A changed TZ is taken at once. Without TZ, tzset looks at
// /etc/localtime again on each call (a stat at least); a flood of conversions would spend
// its time there, so that look is taken at most once per kZoneFileFreshness.
void FollowTimeZone()
{
    static std::mutex mutex;
    static std::optional<std::string> lastZone;
    static std::chrono::steady_clock::time_point lastLook;
    static bool looked = false;

    const std::lock_guard lock(mutex);
    const char* zone = std::getenv("TZ");
    const bool sameZone = zone ? lastZone && *lastZone == zone : !lastZone;
    const auto now = std::chrono::steady_clock::now();
    if (looked && sameZone && (zone || now - lastLook < kZoneFileFreshness))
        return;
    tzset();
    lastZone = zone ? std::optional<std::string>(zone) : std::nullopt;
    lastLook = now;
    looked = true;
}

} // namespace

std::optional<CivilTime> LocalTimeOf(std::int64_t secondsSince1970)
{
    FollowTimeZone();
    const time_t seconds = static_cast<time_t>(secondsSince1970);
    tm local{};
    if (!localtime_r(&seconds, &local))
        return std::nullopt; // the year does not even fit the C library's calendar
    const long long year = local.tm_year + 1900LL;
    if (year < 1970 || year > 9999)
        return std::nullopt;
    return CivilTime{
        .year = static_cast<int>(year),
        .month = local.tm_mon + 1,
        .day = local.tm_mday,
        .dayOfWeek = local.tm_wday,
        .hour = local.tm_hour,
        .minute = local.tm_min,
        .second = local.tm_sec,
        .millisecond = 0,
    };
}

} // namespace platform
