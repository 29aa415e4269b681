#include "platform/local_clock.h"

#include "platform/local_time.h"

#include <ctime>

namespace platform {
namespace {

timespec RealTimeNow()
{
    timespec now{};
    // Cannot fail: the clock always exists and `now` is writable.
    [[maybe_unused]] const int result = clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

} // namespace

CivilTime SystemLocalClock::Now() const
{
    const timespec now = RealTimeNow();
    // The same conversion as for the server's times, which follows a change of time zone.
    CivilTime local = LocalTimeOf(now.tv_sec).value_or(CivilTime{.year = 1970, .month = 1, .day = 1});
    local.millisecond = static_cast<int>(now.tv_nsec / 1'000'000);
    return local;
}

UtcTime SystemLocalClock::UtcNow() const
{
    const timespec now = RealTimeNow();
    return UtcTime(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

} // namespace platform
