#pragma once

#include "platform/clock_setter.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace testsupport {

// Remembers every time it was asked to set, and when; never touches the real clock. It
// answers with `answer`.
class FakeClockSetter final : public platform::ClockSetter {
public:
    platform::ClockSetResult SetClock(std::int64_t secondsSince1970) override
    {
        set.push_back(secondsSince1970);
        setAt.push_back(std::chrono::steady_clock::now());
        return answer;
    }

    platform::ClockSetResult answer;
    std::vector<std::int64_t> set;
    std::vector<std::chrono::steady_clock::time_point> setAt;
};

} // namespace testsupport
