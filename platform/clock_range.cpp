#include "platform/clock_range.h"

namespace platform {

std::int64_t EarliestSettableSecond()
{
    return TAVRIN_BUILD_DAY; // seconds since 1970, set by the build for this file alone
}

} // namespace platform
