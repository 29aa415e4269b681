#include "platform/local_time.h"

#include <ctime>

namespace platform {

static_assert(sizeof(time_t) >= sizeof(std::int64_t), "a 32-bit time_t would wrap in 2038");

std::optional<CivilTime> LocalTimeOf(std::int64_t secondsSince1970)
{
    // localtime re-reads the time zone on every call; localtime_r alone would not.
    tzset();
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
