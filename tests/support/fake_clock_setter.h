#pragma once

#include "platform/clock_setter.h"

#include <cstdint>
#include <vector>

namespace testsupport {

// Remembers every time it was asked to set; never touches the real clock.
class FakeClockSetter final : public platform::ClockSetter {
public:
    void SetClock(std::int64_t secondsSince1970) override { set.push_back(secondsSince1970); }

    std::vector<std::int64_t> set;
};

} // namespace testsupport
