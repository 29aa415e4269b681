#include "platform/clock_setter.h"

#include "platform/clock_calls.h"
#include "platform/clock_range.h"
#include "platform/set_clock/exit_status.h"
#include "platform/set_clock/request.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern char** environ;

namespace platform {
namespace {

using Outcome = ClockSetResult::Outcome;
using setclock::Request;

constexpr char kHelperName[] = "tavrin-set-clock";
constexpr std::size_t kMostHelperOutput = 4096; // a reason is one short line

bool HoldsTimeCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(CAP_SYS_TIME)].effective & CAP_TO_MASK(CAP_SYS_TIME)) != 0;
}

// Whether this user may run `helper` as posix_spawnp would find it: a path as it stands, a
// bare name in the first folder of PATH that holds it executable.
bool MayRunHelper(const std::string& helper)
{
    if (helper.find('/') != std::string::npos)
        return access(helper.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/bin:/usr/bin"; // posix_spawnp's default
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        if (access((folder + "/" + helper).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string LowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// The system's reason for a refusal, as a user reads it.
std::string ReasonFor(int error)
{
    return error == EPERM ? "no permission" : LowerFirst(std::strerror(error));
}

// The last line the helper wrote, after its last ": " ("tavrin-set-clock: cannot set the
// clock: Invalid argument" gives "invalid argument").
std::string HelperReason(const std::string& errors)
{
    std::string line = errors.substr(0, errors.find_last_not_of('\n') + 1);
    line = line.substr(line.rfind('\n') + 1);
    const std::size_t colon = line.rfind(": ");
    return LowerFirst(colon == std::string::npos ? line : line.substr(colon + 2));
}

struct HelperEnd {
    bool finished = false; // false: it was killed for taking too long
    int status = 0;        // as waitpid gives it
    std::string errors;    // what it wrote to standard error
};

// One read of what waits in `errors`: the count read, 0 at its end, -1 when nothing waits.
ssize_t ReadSome(int errors, std::string& into)
{
    char buffer[512];
    const ssize_t got = read(errors, buffer, sizeof buffer);
    if (got > 0 && into.size() < kMostHelperOutput)
        into.append(buffer, static_cast<std::size_t>(got));
    return got;
}

// Waits for `child` at most `patience`, gathering its standard error. One that takes longer
// is killed; either way it is reaped before this returns, so no zombie is left behind.
HelperEnd AwaitHelper(pid_t child, int errors, std::chrono::milliseconds patience)
{
    using Clock = std::chrono::steady_clock;
    HelperEnd end;
    // Readable once the child has ended. The system call itself: glibc 2.36's header for
    // it cannot be used from C++.
    const UniqueFd ended(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    const auto deadline = Clock::now() + patience;
    bool errorsOpen = true;
    while (ended && !end.finished) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd watched[2] = {{ended.Get(), POLLIN, 0}, {errorsOpen ? errors : -1, POLLIN, 0}};
        if (poll(watched, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        if (watched[1].revents != 0) {
            const ssize_t got = ReadSome(errors, end.errors);
            errorsOpen = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
        }
        end.finished = watched[0].revents != 0;
    }
    // Fails only when the helper has ended meanwhile, which the wait then finds.
    if (!end.finished) {
        [[maybe_unused]] const int killed = kill(child, SIGKILL);
    }
    while (waitpid(child, &end.status, 0) < 0 && errno == EINTR) {
    }
    for (std::size_t read = 0; read < kMostHelperOutput && ReadSome(errors, end.errors) > 0; read += 512) {
    }
    return end;
}

ClockSetResult HelperResult(const HelperEnd& end, std::chrono::milliseconds patience)
{
    if (!end.finished) {
        return {Outcome::HelperFailed,
                "it did not finish within " + std::to_string(patience.count()) + " ms and was stopped"};
    }
    if (WIFSIGNALED(end.status)) {
        const int signal = WTERMSIG(end.status);
        const char* const name = sigabbrev_np(signal); // none for the real-time signals
        return {Outcome::HelperFailed,
                "it was ended by " + (name ? std::string(name) : "signal " + std::to_string(signal))};
    }
    const int status = WEXITSTATUS(end.status);
    switch (status) {
    case setclock::kSet:
        return {Outcome::Set, {}};
    case setclock::kNoPermission:
        return {Outcome::Refused, ReasonFor(EPERM)};
    case setclock::kOutOfRange:
        return {Outcome::OutOfRange, {}};
    case setclock::kRefused:
        return {Outcome::Refused, HelperReason(end.errors)};
    default:
        return {Outcome::HelperFailed,
                "exit status " + std::to_string(status) + (end.errors.empty() ? "" : ": " + HelperReason(end.errors))};
    }
}

Request SetTo(std::int64_t secondsSince1970)
{
    Request request;
    request.seconds = secondsSince1970;
    return request;
}

Request Adjustment(Request::Kind kind, std::chrono::nanoseconds offset)
{
    Request request;
    request.kind = kind;
    request.offset = offset;
    return request;
}

Request Marking(std::chrono::microseconds maxError, std::chrono::microseconds estError)
{
    Request request;
    request.kind = Request::Kind::MarkSynchronised;
    request.maxError = maxError;
    request.estError = estError;
    return request;
}

double Seconds(std::chrono::nanoseconds offset)
{
    return std::chrono::duration<double>(offset).count();
}

} // namespace

SystemClockSetter::SystemClockSetter(std::string helper, std::chrono::milliseconds helperPatience)
    : helper_(std::move(helper)), helperPatience_(helperPatience)
{
}

std::string SystemClockSetter::DefaultHelper()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const std::string path(self, static_cast<std::size_t>(length));
        std::string beside = path.substr(0, path.rfind('/') + 1) + kHelperName;
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return kHelperName;
}

ClockSetResult SystemClockSetter::SetClock(std::int64_t secondsSince1970)
{
    return Apply(SetTo(secondsSince1970));
}

ClockSetResult SystemClockSetter::StepBy(std::chrono::nanoseconds offset)
{
    return Apply(Adjustment(Request::Kind::StepBy, offset));
}

ClockSetResult SystemClockSetter::SlewBy(std::chrono::nanoseconds offset)
{
    return Apply(Adjustment(Request::Kind::SlewBy, offset));
}

std::optional<std::chrono::microseconds> SystemClockSetter::SlewLeft()
{
    return ClockSlewLeft();
}

ClockSetResult SystemClockSetter::MarkSynchronised(std::chrono::microseconds maxError,
                                                   std::chrono::microseconds estError)
{
    return Apply(Marking(maxError, estError));
}

bool SystemClockSetter::MaySetClock()
{
    return HoldsTimeCapability() || MayRunHelper(helper_);
}

ClockSetResult SystemClockSetter::SetClockThroughHelper(std::int64_t secondsSince1970) const
{
    return ThroughHelper(SetTo(secondsSince1970));
}

ClockSetResult SystemClockSetter::StepByThroughHelper(std::chrono::nanoseconds offset) const
{
    return ThroughHelper(Adjustment(Request::Kind::StepBy, offset));
}

ClockSetResult SystemClockSetter::SlewByThroughHelper(std::chrono::nanoseconds offset) const
{
    return ThroughHelper(Adjustment(Request::Kind::SlewBy, offset));
}

ClockSetResult SystemClockSetter::MarkSynchronisedThroughHelper(std::chrono::microseconds maxError,
                                                                std::chrono::microseconds estError) const
{
    return ThroughHelper(Marking(maxError, estError));
}

ClockSetResult SystemClockSetter::Apply(const Request& request)
{
    if (!HoldsTimeCapability())
        return ThroughHelper(request);
    if (!setclock::IsWithinRange(request, ClockNow()))
        return {Outcome::OutOfRange, {}};
    if (const int error = setclock::CarryOut(request); error != 0)
        return {Outcome::Refused, ReasonFor(error)};
    return {Outcome::Set, {}};
}

ClockSetResult SystemClockSetter::ThroughHelper(const Request& request) const
{
    if (!setclock::IsWithinRange(request, ClockNow()))
        return {Outcome::OutOfRange, {}}; // the helper would say the same
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return {Outcome::HelperFailed, std::string("no pipe for it: ") + std::strerror(errno)};
    const UniqueFd errors(ends[0]);
    UniqueFd errorsForHelper(ends[1]);

    std::vector<std::string> words = setclock::ArgumentsFor(request);
    words.insert(words.begin(), helper_);
    std::vector<char*> arguments;
    for (std::string& word : words)
        arguments.push_back(word.data());
    arguments.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (const int failed = posix_spawn_file_actions_init(&actions); failed != 0)
        return {Outcome::HelperFailed, LowerFirst(std::strerror(failed))};
    pid_t child = -1;
    int failed = posix_spawn_file_actions_adddup2(&actions, errorsForHelper.Get(), STDERR_FILENO);
    if (failed == 0) {
        const bool lookUpOnPath = helper_.find('/') == std::string::npos;
        failed = lookUpOnPath ? posix_spawnp(&child, helper_.c_str(), &actions, nullptr, arguments.data(), environ)
                              : posix_spawn(&child, helper_.c_str(), &actions, nullptr, arguments.data(), environ);
    }
    // Frees what init took; it has nothing to report.
    [[maybe_unused]] const int destroyed = posix_spawn_file_actions_destroy(&actions);
    errorsForHelper.Reset(); // the helper's end of the pipe is the only one left
    if (failed == ENOENT)
        return {Outcome::HelperMissing, {}};
    if (failed == EACCES)
        return {Outcome::Refused, std::string("no permission to run ") + kHelperName};
    if (failed != 0)
        return {Outcome::HelperFailed, LowerFirst(std::strerror(failed))};
    return HelperResult(AwaitHelper(child, errors.Get(), helperPatience_), helperPatience_);
}

ClockSetResult DryRunClockSetter::SetClock(std::int64_t secondsSince1970)
{
    const time_t seconds = static_cast<time_t>(secondsSince1970);
    tm utc{};
    char when[64] = "an unprintable time";
    if (gmtime_r(&seconds, &utc))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return Printed("dry run: clock not set to %s (%lld)\n", when, static_cast<long long>(secondsSince1970));
}

ClockSetResult DryRunClockSetter::StepBy(std::chrono::nanoseconds offset)
{
    return Printed("dry run: clock not stepped by %+.3f s\n", Seconds(offset));
}

ClockSetResult DryRunClockSetter::SlewBy(std::chrono::nanoseconds offset)
{
    return Printed("dry run: clock not slewed by %+.3f s\n", Seconds(offset));
}

std::optional<std::chrono::microseconds> DryRunClockSetter::SlewLeft()
{
    return std::chrono::microseconds(0);
}

ClockSetResult DryRunClockSetter::MarkSynchronised(std::chrono::microseconds maxError,
                                                   std::chrono::microseconds estError)
{
    return Printed("dry run: kernel not told the clock is synchronised (maximum error %lld us, estimated %lld us)\n",
                   static_cast<long long>(maxError.count()), static_cast<long long>(estError.count()));
}

bool DryRunClockSetter::MaySetClock()
{
    return HoldsTimeCapability() || MayRunHelper(SystemClockSetter::DefaultHelper());
}

ClockSetResult DryRunClockSetter::Printed(const char* format, ...)
{
    std::va_list values;
    va_start(values, format);
    std::vfprintf(out_, format, values);
    va_end(values);
    std::fflush(out_);
    return {ClockSetResult::Outcome::DryRun, {}};
}

} // namespace platform
