#include "platform/clock_calls.h"

#include <sys/time.h>
#include <sys/timex.h>

#include <cerrno>
#include <ctime>

namespace platform {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

int Outcome(int result)
{
    return result < 0 ? errno : 0;
}

} // namespace

bool KernelClock::Unsynchronised() const
{
    return (status & STA_UNSYNC) != 0;
}

nanoseconds ClockNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now); // cannot fail for this clock and a valid address
    return std::chrono::seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
}

int SetClockTo(std::int64_t secondsSince1970)
{
    const timespec time{static_cast<time_t>(secondsSince1970), 0};
    return Outcome(clock_settime(CLOCK_REALTIME, &time));
}

int StepClockBy(nanoseconds offset)
{
    // The kernel takes a negative offset as whole seconds down and nanoseconds back up.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(offset);
    timex request{};
    request.modes = ADJ_SETOFFSET | ADJ_NANO;
    request.time.tv_sec = static_cast<time_t>(seconds.count());
    request.time.tv_usec = static_cast<suseconds_t>((offset - seconds).count());
    return Outcome(clock_adjtime(CLOCK_REALTIME, &request));
}

int SlewClockBy(nanoseconds offset)
{
    const auto total = std::chrono::round<microseconds>(offset).count();
    const timeval delta{static_cast<time_t>(total / 1'000'000), static_cast<suseconds_t>(total % 1'000'000)};
    return Outcome(adjtime(&delta, nullptr));
}

std::optional<microseconds> ClockSlewLeft()
{
    timeval left{};
    if (adjtime(nullptr, &left) != 0)
        return std::nullopt;
    return std::chrono::seconds(left.tv_sec) + microseconds(left.tv_usec);
}

int MarkClockSynchronised(microseconds maxError, microseconds estError)
{
    timex request{};
    if (clock_adjtime(CLOCK_REALTIME, &request) < 0)
        return errno;
    // Another synchroniser may change the status between the read and the write; the one
    // bit this changes is the same either way.
    request.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
    request.status &= ~STA_UNSYNC;
    request.maxerror = maxError.count();
    request.esterror = estError.count();
    return Outcome(clock_adjtime(CLOCK_REALTIME, &request));
}

std::optional<KernelClock> ReadKernelClock()
{
    timex request{};
    if (clock_adjtime(CLOCK_REALTIME, &request) < 0)
        return std::nullopt;
    return KernelClock{request.status, microseconds(request.maxerror), microseconds(request.esterror)};
}

} // namespace platform
