#pragma once

#include "platform/civil_time.h"

namespace platform {

// The PC's own clock, read as local time.
class LocalClock {
public:
    virtual ~LocalClock() = default;
    virtual CivilTime Now() const = 0;
};

// Reads CLOCK_REALTIME and converts it with the time zone in force.
class SystemLocalClock final : public LocalClock {
public:
    CivilTime Now() const override;
};

} // namespace platform
