#pragma once

#include "platform/clock_setter.h"
#include "platform/local_clock.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace testsupport {

// Remembers every time it was asked to set, and when, and every step, slew and mark;
// never touches the real clock. It answers each with `answer`, and SlewLeft with
// `slewLeft`. Given a fake clock's reading in `movesClock`, each step taken moves it.
class FakeClockSetter final : public platform::ClockSetter {
public:
    platform::ClockSetResult SetClock(std::int64_t secondsSince1970) override
    {
        set.push_back(secondsSince1970);
        setAt.push_back(std::chrono::steady_clock::now());
        return answer;
    }

    platform::ClockSetResult StepBy(std::chrono::nanoseconds offset) override
    {
        steps.push_back(offset);
        if (movesClock && answer.outcome == platform::ClockSetResult::Outcome::Set) {
            *movesClock += offset;
            steppedTo.push_back(*movesClock);
        }
        return answer;
    }

    platform::ClockSetResult SlewBy(std::chrono::nanoseconds offset) override
    {
        slews.push_back(offset);
        return answer;
    }

    std::optional<std::chrono::microseconds> SlewLeft() override { return slewLeft; }

    void ForgetSteps()
    {
        steps.clear();
        steppedTo.clear();
    }

    platform::ClockSetResult MarkSynchronised(std::chrono::microseconds maxError,
                                              std::chrono::microseconds estError) override
    {
        marks.emplace_back(maxError, estError);
        return markAnswer;
    }

    bool MaySetClock() override { return true; }

    platform::ClockSetResult answer;
    platform::ClockSetResult markAnswer; // for MarkSynchronised
    std::optional<std::chrono::microseconds> slewLeft = std::chrono::microseconds(0);
    std::vector<std::int64_t> set;
    std::vector<std::chrono::steady_clock::time_point> setAt;
    std::vector<std::chrono::nanoseconds> steps;
    platform::UtcTime* movesClock = nullptr;
    std::vector<platform::UtcTime> steppedTo; // what the moved clock read after each step
    std::vector<std::chrono::nanoseconds> slews;
    std::vector<std::pair<std::chrono::microseconds, std::chrono::microseconds>> marks; // maximum, estimated
};

} // namespace testsupport
