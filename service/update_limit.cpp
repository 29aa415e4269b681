#include "service/update_limit.h"

namespace service {

bool UpdateLimit::Starts(platform::BootClock::time_point now)
{
    if (lastStart_ && now - *lastStart_ < kSpacing)
        return false;
    lastStart_ = now;
    return true;
}

} // namespace service
