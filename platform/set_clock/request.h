#pragma once

// What tavrin-set-clock is asked to do, in the words of its command line:
//
//   SECONDS                         set the clock to that second since 1970 (digits only)
//   --step  +SECONDS[.FRACTION]     step it by that much, forward (+) or back (-)
//   --slew  -SECONDS[.FRACTION]     slew it by that much, to the microsecond
//   --synchronised MAX-US EST-US    tell the kernel it is synchronised, with these errors
//
// An offset carries its sign always and at most nine digits after the point. The program
// writes the arguments with ArgumentsFor and the helper reads them with ParseArguments.

#include "platform/set_clock/exit_status.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace setclock {

struct Request {
    enum class Kind { SetTo, StepBy, SlewBy, MarkSynchronised };

    Kind kind = Kind::SetTo;
    std::int64_t seconds = 0;              // SetTo
    std::chrono::nanoseconds offset{0};    // StepBy, SlewBy
    std::chrono::microseconds maxError{0}; // MarkSynchronised
    std::chrono::microseconds estError{0}; // MarkSynchronised

    bool operator==(const Request&) const = default;
};

struct Parsed {
    std::optional<Request> request; // nothing when the arguments are malformed
    std::string problem;            // then why, on one line
};

// Reads the arguments after the program's name. Only their form is checked: a number too
// large for its kind is taken as the largest, which the range then refuses.
Parsed ParseArguments(const std::vector<std::string_view>& arguments);

// Makes the change `request` asks for (platform/clock_calls.h), checking no range: 0 when
// the kernel took it, otherwise its errno.
int CarryOut(const Request& request);

// Whether `request` stays within the bounds of clock_range.h, for a clock reading `now`.
bool IsWithinRange(const Request& request, std::chrono::nanoseconds now);

// "from 1718064000 (2024-06-11 00:00:00 UTC, the day this program was built) to
// 7258118400 (2200-01-01 00:00:00 UTC)": the seconds the clock may be set to, for messages.
std::string SettableRange();

// The arguments that ask for `request`.
std::vector<std::string> ArgumentsFor(const Request& request);

// "+0.250000000", "-12.000000000": an offset as the command line writes it.
std::string OffsetText(std::chrono::nanoseconds offset);

} // namespace setclock
