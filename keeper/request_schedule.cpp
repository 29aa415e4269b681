#include "keeper/request_schedule.h"

#include <algorithm>

namespace keeper {

void RequestSchedule::SetInterval(std::chrono::seconds interval)
{
    interval_ = interval;
    if (lastStart_ != Time{})
        due_ = lastStart_ + interval_;
}

void RequestSchedule::Started(Time now)
{
    lastStart_ = now;
    due_ = now + interval_;
}

int RequestSchedule::SecondsLeft(Time now) const
{
    return static_cast<int>(std::max(std::chrono::floor<std::chrono::seconds>(due_ - now).count(), 0L));
}

} // namespace keeper
