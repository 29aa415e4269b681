// tavrin-set-clock: sets, steps or slews the system clock, or tells the kernel it is
// synchronised.
//
//   tavrin-set-clock SECONDS
//   tavrin-set-clock --step +-SECONDS.FRACTION
//   tavrin-set-clock --slew +-SECONDS.FRACTION
//   tavrin-set-clock --synchronised MAX-ERROR-US EST-ERROR-US
//
// SECONDS counts from 1970-01-01 00:00:00 UTC, in decimal digits only, and must lie
// between the day this program was built and 2200-01-01 00:00:00 UTC; a step must leave
// the clock in that range, a slew reach at most half a second, and the errors lie within
// 16 s (request.h, platform/clock_range.h). This is the one part of the Tavrin client that
// is given the right to set the clock (setcap cap_sys_time+ep), so it takes these
// arguments and nothing else. Exit status: see exit_status.h.

#include "platform/clock_calls.h"
#include "platform/clock_range.h"
#include "platform/set_clock/exit_status.h"
#include "platform/set_clock/request.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using setclock::Request;

std::string OutOfRange(const Request& request, const std::vector<std::string_view>& arguments)
{
    const std::string given(arguments.back().substr(0, 40));
    switch (request.kind) {
    case Request::Kind::SetTo:
        break;
    case Request::Kind::StepBy:
        return "a step of " + given + " s is out of range: the clock is set only " + setclock::SettableRange();
    case Request::Kind::SlewBy:
        return "a slew of " + given + " s is out of range: it reaches at most "
             + setclock::OffsetText(platform::kLongestSlew) + " s";
    case Request::Kind::MarkSynchronised:
        return "errors of " + std::string(arguments[1].substr(0, 40)) + " and " + given
             + " us are out of range: the estimated one at most the maximum, that at most "
             + std::to_string(platform::kLargestClockError.count()) + " us";
    }
    return "'" + given + "' is out of range: the clock is set only " + setclock::SettableRange();
}

int Refuse(const std::string& reason, int status)
{
    std::fprintf(stderr, "tavrin-set-clock: %s\n", reason.c_str());
    return status;
}

// For "cannot ... : <the system's reason>".
const char* What(Request::Kind kind)
{
    switch (kind) {
    case Request::Kind::SetTo:
        break;
    case Request::Kind::StepBy:
        return "step the clock";
    case Request::Kind::SlewBy:
        return "slew the clock";
    case Request::Kind::MarkSynchronised:
        return "mark the clock synchronised";
    }
    return "set the clock";
}

int Done(int error, const char* what)
{
    if (error == 0)
        return setclock::kSet;
    std::fprintf(stderr, "tavrin-set-clock: cannot %s: %s\n", what, std::strerror(error));
    return error == EPERM ? setclock::kNoPermission : setclock::kRefused;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const setclock::Parsed parsed = setclock::ParseArguments(arguments);
    if (!parsed.request)
        return Refuse(parsed.problem, setclock::kBadArguments);
    const Request& request = *parsed.request;
    if (!setclock::IsWithinRange(request, platform::ClockNow()))
        return Refuse(OutOfRange(request, arguments), setclock::kOutOfRange);

    return Done(setclock::CarryOut(request), What(request.kind));
}
