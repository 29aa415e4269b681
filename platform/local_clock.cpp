#include "platform/local_clock.h"

#include <ctime>

namespace platform {

CivilTime SystemLocalClock::Now() const
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return CivilTime{
        .year = local.tm_year + 1900,
        .month = local.tm_mon + 1,
        .day = local.tm_mday,
        .dayOfWeek = local.tm_wday,
        .hour = local.tm_hour,
        .minute = local.tm_min,
        .second = local.tm_sec,
        .millisecond = static_cast<int>(now.tv_nsec / 1'000'000),
    };
}

} // namespace platform
