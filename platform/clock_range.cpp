#include "platform/clock_range.h"

namespace platform {

std::int64_t EarliestSettableSecond()
{
    return TAVRIN_BUILD_DAY; // seconds since 1970, set by the build for this file alone
}

bool IsSettableStep(std::chrono::nanoseconds now, std::chrono::nanoseconds offset)
{
    std::int64_t target = 0;
    if (__builtin_add_overflow(now.count(), offset.count(), &target))
        return false;
    return IsSettableSecond(std::chrono::floor<std::chrono::seconds>(std::chrono::nanoseconds(target)).count());
}

} // namespace platform
