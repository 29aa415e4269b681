// Preloaded under the clock guard: replaces every libc function that can set or steer the
// clock. Each call is written as one line to the record file and answered as the kernel
// would answer a process with the right to set the clock, so a guarded program behaves as
// if its clock change went through. The real function is never called. On load, one line
// goes to the marker file, which proves the preload took.
//
// glibc's settimeofday, adjtime and ntp_adjtime reach the kernel without passing through
// clock_settime or adjtimex, so each is replaced on its own.
//
// What seems to succeed moves the clock that every guarded process reads (clock_gettime,
// gettimeofday and time for the real-time clock, and the kernel's receipt times that
// recvmsg gives; shared_clock.h): a set or a step at once,
// an adjtime slew gradually, and the kernel's status and errors are kept for the reads of
// adjtimex and ntp_gettime. A program sees its own change as it would on a real machine,
// and the real clock stays where it is. When the guard asks for refusals, every call that
// would change something fails with EPERM, and reads are answered, as for a program
// without the right.

#include "tests/support/clock_guard/guard_protocol.h"
#include "tests/support/clock_guard/shared_clock.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

using clockguard::ClockState;
using clockguard::kNanosecondsPerSecond;
using clockguard::SharedClock;

// One write per line, so lines of processes sharing the file never interleave.
[[gnu::format(printf, 2, 3)]] void AppendLine(const char* variable, const char* format, ...)
{
    const char* path = std::getenv(variable);
    if (!path || !*path)
        return;
    char line[512];
    const int prefix = std::snprintf(line, sizeof line, "%d ", static_cast<int>(getpid()));
    va_list arguments;
    va_start(arguments, format);
    const int body =
        std::vsnprintf(line + prefix, sizeof line - static_cast<std::size_t>(prefix) - 1, format, arguments);
    va_end(arguments);
    if (body < 0)
        return;
    std::size_t length = static_cast<std::size_t>(prefix) + static_cast<std::size_t>(body);
    if (length > sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    [[maybe_unused]] const auto written = write(fd, line, length);
    close(fd);
}

bool Refusing()
{
    const char* refuse = std::getenv(clockguard::kRefuseVariable);
    return refuse && *refuse;
}

int Refused()
{
    errno = EPERM;
    return -1;
}

using ClockGetTime = int (*)(clockid_t, timespec*);

ClockGetTime RealClockGetTime()
{
    static const auto real = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

std::int64_t Nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec;
}

timespec FromNanoseconds(std::int64_t nanoseconds)
{
    std::int64_t seconds = nanoseconds / kNanosecondsPerSecond;
    std::int64_t rest = nanoseconds % kNanosecondsPerSecond;
    if (rest < 0) {
        rest += kNanosecondsPerSecond;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest)};
}

std::int64_t RealNow()
{
    timespec real{};
    RealClockGetTime()(CLOCK_REALTIME, &real);
    return Nanoseconds(real);
}

// The clock of this guard; without the variable, one of this process alone.
SharedClock& Clock()
{
    static SharedClock* const clock = []() -> SharedClock* {
        const char* path = std::getenv(clockguard::kClockVariable);
        if (SharedClock* shared = path && *path ? clockguard::MapSharedClock(path) : nullptr)
            return shared;
        static SharedClock own;
        own.Initialise(ClockState{});
        return &own;
    }();
    return *clock;
}

// From now on the guarded clock reads `target` onwards.
void MoveClockTo(std::int64_t target)
{
    Clock().Update(RealNow, [target](ClockState& state) {
        state.anchorShift = target - state.anchorReal;
        return 0;
    });
}

// "+1.250000000" for a count of `units` (ns when `digits` is 9, µs when 6).
std::string SignedSeconds(std::int64_t units, int digits)
{
    const std::int64_t perSecond = digits == 9 ? kNanosecondsPerSecond : 1'000'000;
    const std::uint64_t magnitude = units < 0 ? -static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    char text[48];
    std::snprintf(text, sizeof text, "%c%llu.%0*llu", units < 0 ? '-' : '+',
                  static_cast<unsigned long long>(magnitude / perSecond), digits,
                  static_cast<unsigned long long>(magnitude % perSecond));
    return text;
}

// The arguments of an adjtimex-like call that its modes make count.
std::string AdjustmentText(const timex& request)
{
    const unsigned modes = request.modes;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%#x", modes); // 0 stays "0"
    std::string text = std::string("modes=") + hex;
    if ((modes & ADJ_OFFSET) != 0 && modes != ADJ_OFFSET_SS_READ)
        text += " offset=" + std::to_string(request.offset);
    if ((modes & ADJ_SETOFFSET) != 0) {
        const bool nano = (modes & ADJ_NANO) != 0;
        const std::int64_t units =
            static_cast<std::int64_t>(request.time.tv_sec) * (nano ? kNanosecondsPerSecond : 1'000'000)
            + request.time.tv_usec;
        text += " setoffset=" + SignedSeconds(units, nano ? 9 : 6);
    }
    if ((modes & ADJ_STATUS) != 0) {
        std::snprintf(hex, sizeof hex, "%#x", static_cast<unsigned>(request.status));
        text += std::string(" status=") + hex;
    }
    if ((modes & ADJ_MAXERROR) != 0)
        text += " maxerror=" + std::to_string(request.maxerror);
    if ((modes & ADJ_ESTERROR) != 0)
        text += " esterror=" + std::to_string(request.esterror);
    return text;
}

bool OffsetIsValid(const timex& request)
{
    const long limit = (request.modes & ADJ_NANO) != 0 ? 1'000'000'000 : 1'000'000;
    return request.time.tv_usec >= 0 && request.time.tv_usec < limit;
}

// What the kernel copies back after any adjtimex-like call: its state after the call.
int Report(const ClockState& state, std::int64_t real, timex& request)
{
    request.status = static_cast<int>(state.status);
    request.maxerror = state.maxErrorUs;
    request.esterror = state.estErrorUs;
    const timespec now = FromNanoseconds(real + clockguard::ShiftAt(state, real));
    request.time = {now.tv_sec, (state.status & STA_NANO) != 0 ? now.tv_nsec : now.tv_nsec / 1000};
    return (state.status & STA_UNSYNC) != 0 ? TIME_ERROR : TIME_OK;
}

// The bit that puts adjtimex into adjtime's mode (the kernel's ADJ_ADJTIME).
constexpr unsigned kAdjtimeBit = ADJ_OFFSET_SINGLESHOT & ~ADJ_OFFSET;

// adjtimex, ntp_adjtime and clock_adjtime on the real-time clock, as Linux answers them.
int Adjust(timex& request)
{
    const unsigned modes = request.modes;
    // adjtime's own mode: a slew, or with ADJ_OFFSET_SS_READ's bits a read of what is left.
    const bool adjtimeMode = (modes & kAdjtimeBit) != 0;
    if (adjtimeMode && (modes & ADJ_OFFSET_SINGLESHOT) != ADJ_OFFSET_SINGLESHOT) {
        errno = EINVAL;
        return -1;
    }
    const bool readOnly = adjtimeMode ? (modes & ADJ_OFFSET_SS_READ) == ADJ_OFFSET_SS_READ : modes == 0;
    if (!readOnly && Refusing())
        return Refused();
    if ((modes & ADJ_SETOFFSET) != 0 && !OffsetIsValid(request)) {
        errno = EINVAL;
        return -1;
    }
    if (readOnly) {
        const std::int64_t real = RealNow();
        const ClockState state = Clock().Load();
        if (adjtimeMode)
            request.offset = clockguard::SlewLeftAt(state, real) / 1000;
        return Report(state, real, request);
    }
    std::int64_t real = 0;
    const ClockState state =
        Clock().Update([&real] { return real = RealNow(); },
                       [&request, modes, adjtimeMode](ClockState& changed) {
                           if (adjtimeMode) {
                               const std::int64_t previous = changed.slewLeft;
                               changed.slewLeft = static_cast<std::int64_t>(request.offset) * 1000;
                               request.offset = previous / 1000;
                               return changed;
                           }
                           if ((modes & ADJ_NANO) != 0)
                               changed.status |= STA_NANO;
                           if ((modes & ADJ_MICRO) != 0)
                               changed.status &= ~STA_NANO;
                           if ((modes & ADJ_SETOFFSET) != 0) {
                               const std::int64_t unit = (modes & ADJ_NANO) != 0 ? 1 : 1000;
                               changed.anchorShift +=
                                   static_cast<std::int64_t>(request.time.tv_sec) * kNanosecondsPerSecond
                                   + request.time.tv_usec * unit;
                           }
                           if ((modes & ADJ_STATUS) != 0)
                               changed.status = (changed.status & STA_RONLY) | (request.status & ~STA_RONLY);
                           if ((modes & ADJ_MAXERROR) != 0)
                               changed.maxErrorUs = request.maxerror;
                           if ((modes & ADJ_ESTERROR) != 0)
                               changed.estErrorUs = request.esterror;
                           return changed;
                       });
    return Report(state, real, request);
}

// A reading of the real clock as the guarded clock reads at that moment.
std::int64_t Guarded(std::int64_t real)
{
    return real + clockguard::ShiftAt(Clock().Load(), real);
}

// The receipt times (SO_TIMESTAMPNS, SO_TIMESTAMP) among a received message's notes, moved
// onto the guarded clock.
void MoveReceiptTimes(msghdr& message)
{
    for (cmsghdr* note = CMSG_FIRSTHDR(&message); note; note = CMSG_NXTHDR(&message, note)) {
        if (note->cmsg_level != SOL_SOCKET)
            continue;
        if (note->cmsg_type == SCM_TIMESTAMPNS && note->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(note), sizeof stamp);
            stamp = FromNanoseconds(Guarded(Nanoseconds(stamp)));
            std::memcpy(CMSG_DATA(note), &stamp, sizeof stamp);
        } else if (note->cmsg_type == SCM_TIMESTAMP && note->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
            timeval stamp{};
            std::memcpy(&stamp, CMSG_DATA(note), sizeof stamp);
            const timespec moved = FromNanoseconds(
                Guarded(static_cast<std::int64_t>(stamp.tv_sec) * kNanosecondsPerSecond + stamp.tv_usec * 1000));
            stamp = {moved.tv_sec, moved.tv_nsec / 1000};
            std::memcpy(CMSG_DATA(note), &stamp, sizeof stamp);
        }
    }
}

__attribute__((constructor)) void MarkLoaded()
{
    char program[PATH_MAX] = "?";
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length > 0)
        program[length] = '\0';
    AppendLine(clockguard::kMarkerVariable, "%s", program);
}

} // namespace

extern "C" {

int clock_settime(clockid_t clock, const struct timespec* time) noexcept
{
    AppendLine(clockguard::kRecordVariable, "clock_settime %d %lld.%09ld", static_cast<int>(clock),
               static_cast<long long>(time->tv_sec), static_cast<long>(time->tv_nsec));
    if (Refusing())
        return Refused();
    if (clock == CLOCK_REALTIME)
        MoveClockTo(Nanoseconds(*time));
    return 0;
}

int settimeofday(const struct timeval* time, const struct timezone* zone) noexcept
{
    if (time)
        AppendLine(clockguard::kRecordVariable, "settimeofday %lld.%06ld%s", static_cast<long long>(time->tv_sec),
                   static_cast<long>(time->tv_usec), zone ? " zone" : "");
    else
        AppendLine(clockguard::kRecordVariable, "settimeofday none%s", zone ? " zone" : "");
    if (Refusing())
        return Refused();
    if (time)
        MoveClockTo(static_cast<std::int64_t>(time->tv_sec) * kNanosecondsPerSecond + time->tv_usec * 1000);
    return 0;
}

int adjtime(const struct timeval* delta, struct timeval* oldDelta) noexcept
{
    const std::int64_t deltaUs = delta ? static_cast<std::int64_t>(delta->tv_sec) * 1'000'000 + delta->tv_usec : 0;
    if (delta)
        AppendLine(clockguard::kRecordVariable, "adjtime %s", SignedSeconds(deltaUs, 6).c_str());
    else
        AppendLine(clockguard::kRecordVariable, "adjtime none");
    if (delta && Refusing())
        return Refused();
    timex request{};
    request.modes = delta ? ADJ_OFFSET_SINGLESHOT : ADJ_OFFSET_SS_READ;
    request.offset = deltaUs;
    if (Adjust(request) < 0)
        return -1;
    if (oldDelta) // as glibc gives it: both parts carry the sign
        *oldDelta = {static_cast<time_t>(request.offset / 1'000'000), request.offset % 1'000'000};
    return 0;
}

int adjtimex(struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "adjtimex %s", AdjustmentText(*request).c_str());
    return Adjust(*request);
}

int ntp_adjtime(struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "ntp_adjtime %s", AdjustmentText(*request).c_str());
    return Adjust(*request);
}

int clock_adjtime(clockid_t clock, struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "clock_adjtime %d %s", static_cast<int>(clock),
               AdjustmentText(*request).c_str());
    if (clock != CLOCK_REALTIME)
        return Refusing() && request->modes != 0 ? Refused() : TIME_OK;
    return Adjust(*request);
}

// ntp_gettime on this platform; it only reads, so it is answered without a record.
int ntp_gettimex(struct ntptimeval* now) noexcept
{
    timex request{};
    const int state = Adjust(request);
    *now = {};
    now->time = {request.time.tv_sec, request.time.tv_usec};
    now->maxerror = request.maxerror;
    now->esterror = request.esterror;
    return state;
}

int clock_gettime(clockid_t clock, struct timespec* time) noexcept
{
    const int result = RealClockGetTime()(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        *time = FromNanoseconds(Guarded(Nanoseconds(*time)));
    return result;
}

ssize_t recvmsg(int socket, struct msghdr* message, int flags)
{
    using RecvMsg = ssize_t (*)(int, msghdr*, int);
    static const auto real = reinterpret_cast<RecvMsg>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t received = real(socket, message, flags);
    if (received >= 0 && message->msg_controllen != 0)
        MoveReceiptTimes(*message);
    return received;
}

int gettimeofday(struct timeval* time, void* /*zone*/) noexcept
{
    timespec now{};
    const int result = clock_gettime(CLOCK_REALTIME, &now);
    if (result == 0)
        *time = {now.tv_sec, now.tv_nsec / 1000}; // glibc declares it never null
    return result;
}

time_t time(time_t* result) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (result)
        *result = now.tv_sec;
    return now.tv_sec;
}

} // extern "C"
