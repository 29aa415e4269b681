// clock-setter-probe: sets the clock through the program's clock setters, for the tests
// of those setters, and prints what each setter said, one line per second: "set",
// "refused: no permission", "helper missing", "helper failed: ...", "out of range",
// "dry run". It refuses to do anything unless it runs under the clock guard.
//
//   clock-setter-probe [--dry-run] [--without-time-capability] SECONDS...

#include "platform/clock_setter.h"
#include "tests/support/clock_guard/guard_protocol.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Root keeps CAP_SYS_TIME in its permitted set; clearing it from the effective set is
// what a normal desktop user's process looks like to the setter.
bool DropTimeCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_TO_INDEX(CAP_SYS_TIME)].effective &= ~CAP_TO_MASK(CAP_SYS_TIME);
    return syscall(SYS_capset, &header, data) == 0;
}

std::string Described(const platform::ClockSetResult& result)
{
    using Outcome = platform::ClockSetResult::Outcome;
    switch (result.outcome) {
    case Outcome::Set:
        return "set";
    case Outcome::DryRun:
        return "dry run";
    case Outcome::Refused:
        return "refused: " + result.reason;
    case Outcome::HelperMissing:
        return "helper missing";
    case Outcome::HelperFailed:
        return "helper failed: " + result.reason;
    case Outcome::OutOfRange:
        return "out of range";
    case Outcome::NotNeeded:
    case Outcome::OverLimit:
        break;
    }
    return "unexpected outcome";
}

} // namespace

int main(int argc, char** argv)
{
    if (!clockguard::UnderClockFilter()) {
        std::fprintf(stderr, "clock-setter-probe: not under the clock guard, so nothing is done\n");
        return 3;
    }
    bool dryRun = false;
    std::vector<std::int64_t> times;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--dry-run") {
            dryRun = true;
        } else if (argument == "--without-time-capability") {
            if (!DropTimeCapability()) {
                std::perror("clock-setter-probe: capset");
                return 3;
            }
        } else {
            times.push_back(std::stoll(argument));
        }
    }

    std::unique_ptr<platform::ClockSetter> setter;
    if (dryRun)
        setter = std::make_unique<platform::DryRunClockSetter>();
    else
        setter = std::make_unique<platform::SystemClockSetter>();
    for (const std::int64_t seconds : times) {
        const platform::ClockSetResult result = setter->SetClock(seconds);
        std::printf("%s\n", Described(result).c_str());
    }
    return 0;
}
