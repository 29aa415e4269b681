// Preloaded under the clock guard: replaces every libc function that can set or steer the
// clock. Each call is written as one line to the record file and answered with success,
// so a guarded program behaves as if its clock change went through. The real function is
// never called. On load, one line goes to the marker file, which proves the preload took.
//
// glibc's settimeofday, adjtime and ntp_adjtime reach the kernel without passing through
// clock_settime or adjtimex, so each is replaced on its own.
//
// A set that seems to succeed also moves the clock that every guarded process reads
// (clock_gettime, gettimeofday and time for the real-time clock): a program sees its own
// step as it would on a real machine, and the real clock stays where it is.

#include "tests/support/clock_guard/guard_protocol.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// One write per line, so lines of processes sharing the file never interleave.
void AppendLine(const char* variable, const char* format, ...)
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
    std::size_t length = static_cast<std::size_t>(prefix + body);
    if (length > sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    [[maybe_unused]] const auto written = write(fd, line, length);
    close(fd);
}

// The answer a guarded program gets: success, or EPERM when the test asks for a refusal.
int Answer()
{
    const char* refuse = std::getenv(clockguard::kRefuseVariable);
    if (refuse && *refuse) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

// The shared distance of the guarded clock from the real one; none without the variable.
std::atomic<std::int64_t>* ClockShift()
{
    static std::atomic<std::int64_t>* const shift = []() -> std::atomic<std::int64_t>* {
        const char* path = std::getenv(clockguard::kClockVariable);
        if (!path || !*path)
            return nullptr;
        const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return nullptr;
        void* shared = MAP_FAILED;
        if (ftruncate(fd, sizeof(std::int64_t)) == 0)
            shared = mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return shared == MAP_FAILED ? nullptr : static_cast<std::atomic<std::int64_t>*>(shared);
    }();
    return shift;
}

using ClockGetTime = int (*)(clockid_t, timespec*);

ClockGetTime RealClockGetTime()
{
    static const auto real = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

std::int64_t Nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

timespec FromNanoseconds(std::int64_t nanoseconds)
{
    std::int64_t seconds = nanoseconds / 1'000'000'000;
    std::int64_t rest = nanoseconds % 1'000'000'000;
    if (rest < 0) {
        rest += 1'000'000'000;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest)};
}

// After a set that seemed to work: from now on the guarded clock reads `target` onwards.
void MoveClockTo(std::int64_t target)
{
    timespec real{};
    if (std::atomic<std::int64_t>* shift = ClockShift(); shift && RealClockGetTime()(CLOCK_REALTIME, &real) == 0)
        shift->store(target - Nanoseconds(real));
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
    const int answer = Answer();
    if (answer == 0 && clock == CLOCK_REALTIME)
        MoveClockTo(Nanoseconds(*time));
    return answer;
}

int settimeofday(const struct timeval* time, const struct timezone* zone) noexcept
{
    if (time)
        AppendLine(clockguard::kRecordVariable, "settimeofday %lld.%06ld%s", static_cast<long long>(time->tv_sec),
                   static_cast<long>(time->tv_usec), zone ? " zone" : "");
    else
        AppendLine(clockguard::kRecordVariable, "settimeofday none%s", zone ? " zone" : "");
    const int answer = Answer();
    if (answer == 0 && time)
        MoveClockTo(static_cast<std::int64_t>(time->tv_sec) * 1'000'000'000 + time->tv_usec * 1000);
    return answer;
}

int adjtime(const struct timeval* delta, struct timeval* /*oldDelta*/) noexcept
{
    if (delta)
        AppendLine(clockguard::kRecordVariable, "adjtime %lld.%06ld", static_cast<long long>(delta->tv_sec),
                   static_cast<long>(delta->tv_usec));
    else
        AppendLine(clockguard::kRecordVariable, "adjtime none");
    return Answer();
}

int adjtimex(struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "adjtimex modes=%#x", request->modes);
    return Answer() == 0 ? TIME_OK : -1;
}

int ntp_adjtime(struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "ntp_adjtime modes=%#x", request->modes);
    return Answer() == 0 ? TIME_OK : -1;
}

int clock_adjtime(clockid_t clock, struct timex* request) noexcept
{
    AppendLine(clockguard::kRecordVariable, "clock_adjtime %d modes=%#x", static_cast<int>(clock), request->modes);
    return Answer() == 0 ? TIME_OK : -1;
}

int clock_gettime(clockid_t clock, struct timespec* time) noexcept
{
    const int result = RealClockGetTime()(clock, time);
    const std::atomic<std::int64_t>* shift = ClockShift();
    if (result == 0 && shift && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        *time = FromNanoseconds(Nanoseconds(*time) + shift->load());
    return result;
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
