#pragma once

// The seconds anything of this program may set the clock to. Before the day the program
// was built no real time can lie, and a clock set to 1970 by a mistake helps nobody; past
// 2200 no server of today is right either.

#include <cstdint>

namespace platform {

// 00:00:00 UTC of the day this program was built (SOURCE_DATE_EPOCH when the build sets it).
std::int64_t EarliestSettableSecond();

// 2200-01-01 00:00:00 UTC.
inline constexpr std::int64_t kLatestSettableSecond = 7'258'118'400;

inline bool IsSettableSecond(std::int64_t secondsSince1970)
{
    return secondsSince1970 >= EarliestSettableSecond() && secondsSince1970 <= kLatestSettableSecond;
}

} // namespace platform
