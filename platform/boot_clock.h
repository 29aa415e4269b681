#pragma once

// Time since the PC started, counting the time it slept (CLOCK_BOOTTIME). A schedule of
// minutes follows it, so that a PC back from a suspend, or a program that was stopped,
// catches up at once instead of counting on from where it left.

#include "platform/unique_fd.h"

#include <chrono>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace platform {

struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept;
};

// Wakes the main loop once at a moment of the boot clock, or at once when that moment
// has passed, as after a sleep. Main thread only.
class BootTimer {
public:
    explicit BootTimer(std::function<void()> onTimeout);
    ~BootTimer();
    BootTimer(const BootTimer&) = delete;
    BootTimer& operator=(const BootTimer&) = delete;

    // Replaces any moment set before.
    void Start(BootClock::time_point when);
    void Stop();

private:
    void Fired();

    std::function<void()> onTimeout_;
    UniqueFd timer_;
    std::unique_ptr<QSocketNotifier> notifier_; // goes before the descriptor it watches
};

} // namespace platform
