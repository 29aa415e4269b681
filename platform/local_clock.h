#pragma once

#include "platform/civil_time.h"

#include <chrono>

namespace platform {

// A reading of the real-time clock in UTC, to the nanosecond.
using UtcTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// The PC's own clock.
class LocalClock {
public:
    virtual ~LocalClock() = default;
    // Read as local time.
    virtual CivilTime Now() const = 0;
    // Read as UTC: what a server's second is compared with.
    virtual UtcTime UtcNow() const = 0;
};

// Reads CLOCK_REALTIME and converts it with the time zone in force.
class SystemLocalClock final : public LocalClock {
public:
    CivilTime Now() const override;
    UtcTime UtcNow() const override;
};

} // namespace platform
