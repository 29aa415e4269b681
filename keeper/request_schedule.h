#pragma once

// When the next request goes out: one interval after the last one started, on the boot
// clock, so that a PC back from a suspend, or a program that was stopped, asks at once. A
// late request is one request: nothing is made up for what was missed.

#include "platform/boot_clock.h"

#include <chrono>

namespace keeper {

class RequestSchedule {
public:
    using Time = platform::BootClock::time_point;

    explicit RequestSchedule(std::chrono::seconds interval) : interval_(interval) {}

    // The next request comes one new interval after the last one started.
    void SetInterval(std::chrono::seconds interval);
    std::chrono::seconds Interval() const { return interval_; }

    // A request starts at `now`.
    void Started(Time now);
    Time Due() const { return due_; }
    // Whole seconds from `now` to the next request, never below 0.
    int SecondsLeft(Time now) const;

private:
    std::chrono::seconds interval_;
    Time lastStart_{};
    Time due_{};
};

} // namespace keeper
