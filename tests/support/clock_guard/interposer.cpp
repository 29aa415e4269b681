// Preloaded under the clock guard: replaces every libc function that can set or steer the
// clock. Each call is written as one line to the record file and answered with success,
// so a guarded program behaves as if its clock change went through. The real function is
// never called. On load, one line goes to the marker file, which proves the preload took.
//
// glibc's settimeofday, adjtime and ntp_adjtime reach the kernel without passing through
// clock_settime or adjtimex, so each is replaced on its own.

#include "tests/support/clock_guard/guard_protocol.h"

#include <fcntl.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
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
    const int body = std::vsnprintf(line + prefix, sizeof line - static_cast<std::size_t>(prefix) - 1, format, arguments);
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
    return Answer();
}

int settimeofday(const struct timeval* time, const struct timezone* zone) noexcept
{
    if (time)
        AppendLine(clockguard::kRecordVariable, "settimeofday %lld.%06ld%s", static_cast<long long>(time->tv_sec),
                   static_cast<long>(time->tv_usec), zone ? " zone" : "");
    else
        AppendLine(clockguard::kRecordVariable, "settimeofday none%s", zone ? " zone" : "");
    return Answer();
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

} // extern "C"
