#pragma once

#include "platform/civil_time.h"

#include <cstdint>
#include <optional>

namespace platform {

// The PC's local calendar time at `secondsSince1970` (UTC), with the time zone and
// daylight-saving rules in force, as the C library's localtime gives it; milliseconds 0.
// Nothing for a count whose local time falls before 1970-01-01 00:00:00 or after the
// year 9999: no such time is ever set as the PC's clock.
std::optional<CivilTime> LocalTimeOf(std::int64_t secondsSince1970);

} // namespace platform
