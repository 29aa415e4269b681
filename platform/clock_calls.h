#pragma once

// The kernel's calls that set, step, slew and mark the real-time clock, and those that read
// what it holds; shared by the program and its helper tavrin-set-clock, so both ask the
// kernel in the same words. A change returns 0 when the kernel took it, otherwise the errno
// it failed with (EPERM without CAP_SYS_TIME). None checks a range: the callers do
// (clock_range.h). The reads need no privilege.

#include <chrono>
#include <cstdint>
#include <optional>

namespace platform {

// What the kernel holds about the clock's synchronisation.
struct KernelClock {
    int status = 0;                        // its STA_ bits
    std::chrono::microseconds maxError{0}; // the most the clock may be off
    std::chrono::microseconds estError{0}; // what it is thought to be off

    // No one has told the kernel the clock is synchronised, or that word has lapsed.
    bool Unsynchronised() const;
};

// The real-time clock now, since 1970.
std::chrono::nanoseconds ClockNow();

// Sets the clock to a whole second.
int SetClockTo(std::int64_t secondsSince1970);

// Moves the clock by `offset` in one step (ADJ_SETOFFSET), to the nanosecond: what it
// reads and the offset are added by the kernel, so nothing is lost between a read and a set.
int StepClockBy(std::chrono::nanoseconds offset);

// Starts working `offset`, rounded to the microsecond, gradually into the clock (adjtime),
// in place of what is left of any slew under way.
int SlewClockBy(std::chrono::nanoseconds offset);

// What of the last slew is still to be worked in; nothing when it cannot be read.
std::optional<std::chrono::microseconds> ClockSlewLeft();

// Clears STA_UNSYNC, keeping the status's other bits, and tells the kernel the clock's
// maximum and estimated error: from then on the system calls the clock synchronised
// (timedatectl, node_timex_sync_status) until the maximum error, which the kernel grows by
// 500 µs a second, passes 16 s.
int MarkClockSynchronised(std::chrono::microseconds maxError, std::chrono::microseconds estError);

// Nothing when it cannot be read.
std::optional<KernelClock> ReadKernelClock();

} // namespace platform
