#pragma once

// How far anything of this program may move the clock. Before the day the program was
// built no real time can lie, and a clock set to 1970 by a mistake helps nobody; past 2200
// no server of today is right either. A slew and the errors told to the kernel have bounds
// of their own.

#include <chrono>
#include <cstdint>

namespace platform {

// 00:00:00 UTC of the day this program was built (SOURCE_DATE_EPOCH when the build sets it).
std::int64_t EarliestSettableSecond();

// 2200-01-01 00:00:00 UTC.
inline constexpr std::int64_t kLatestSettableSecond = 7'258'118'400;

// The longest slew: Linux works one off at 500 µs a second, so this one takes 17 minutes.
// Anything further is stepped.
inline constexpr std::chrono::nanoseconds kLongestSlew = std::chrono::milliseconds(500);

// The largest error the kernel is told: past 16 s it calls the clock unsynchronised anyway.
inline constexpr std::chrono::microseconds kLargestClockError = std::chrono::seconds(16);

inline bool IsSettableSecond(std::int64_t secondsSince1970)
{
    return secondsSince1970 >= EarliestSettableSecond() && secondsSince1970 <= kLatestSettableSecond;
}

// Whether a clock reading `now` (since 1970) may be stepped by `offset`: the second it would
// then read is settable.
bool IsSettableStep(std::chrono::nanoseconds now, std::chrono::nanoseconds offset);

inline bool IsSlewable(std::chrono::nanoseconds offset)
{
    return offset >= -kLongestSlew && offset <= kLongestSlew;
}

// An estimated error within the maximum one, and that within what the kernel keeps.
inline bool AreTellableErrors(std::chrono::microseconds maxError, std::chrono::microseconds estError)
{
    return estError.count() >= 0 && estError <= maxError && maxError <= kLargestClockError;
}

} // namespace platform
