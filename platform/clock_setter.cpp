#include "platform/clock_setter.h"

#include <linux/capability.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

extern char** environ;

namespace platform {
namespace {

constexpr char kHelperName[] = "tavrin-set-clock";

bool HoldsTimeCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(CAP_SYS_TIME)].effective & CAP_TO_MASK(CAP_SYS_TIME)) != 0;
}

// Runs the helper and waits for it; whatever it says about a refusal goes to our stderr.
void RunHelper(const std::string& helper, std::int64_t secondsSince1970)
{
    std::string program = helper;
    std::string seconds = std::to_string(secondsSince1970);
    char* const arguments[] = {program.data(), seconds.data(), nullptr};
    pid_t child = -1;
    const bool lookUpOnPath = helper.find('/') == std::string::npos;
    const int failed = lookUpOnPath ? posix_spawnp(&child, program.c_str(), nullptr, nullptr, arguments, environ)
                                    : posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environ);
    if (failed != 0)
        return;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

SystemClockSetter::SystemClockSetter(std::string helper) : helper_(std::move(helper)) {}

std::string SystemClockSetter::DefaultHelper()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const std::string path(self, static_cast<std::size_t>(length));
        const std::string beside = path.substr(0, path.rfind('/') + 1) + kHelperName;
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return kHelperName;
}

void SystemClockSetter::SetClock(std::int64_t secondsSince1970)
{
    if (HoldsTimeCapability()) {
        const timespec time{static_cast<time_t>(secondsSince1970), 0};
        clock_settime(CLOCK_REALTIME, &time);
        return;
    }
    RunHelper(helper_, secondsSince1970);
}

void DryRunClockSetter::SetClock(std::int64_t secondsSince1970)
{
    const time_t seconds = static_cast<time_t>(secondsSince1970);
    tm utc{};
    char when[64] = "an unprintable time";
    if (gmtime_r(&seconds, &utc))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    std::fprintf(out_, "dry run: clock not set to %s (%lld)\n", when, static_cast<long long>(secondsSince1970));
    std::fflush(out_);
}

} // namespace platform
