// clock-setter-probe: sets, steps, slews and marks the clock through the program's clock
// setters, for the tests of those setters, and prints what each setter said, one line per
// change: "set", "refused: no permission", "helper missing", "helper failed: ...", "out of
// range", "dry run". It refuses to do anything unless it runs under the clock guard.
//
//   clock-setter-probe [--dry-run] [--without-time-capability] CHANGE...
//
// A CHANGE is a count of seconds to set the clock to, --step NS or --slew NS (signed
// nanoseconds), --mark MAX-US EST-US; or a read: --slew-left prints "slew left: <us> us",
// --kernel prints "kernel: <synchronised|unsynchronised> maxerror=<us> esterror=<us>
// ntp_gettime=<synchronised|unsynchronised|unknown>", the last as the synchroniser watch
// reads it.

#include "platform/clock_calls.h"
#include "platform/clock_setter.h"
#include "platform/time_synchroniser.h"
#include "tests/support/clock_guard/guard_protocol.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

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

std::string Kernel()
{
    const std::optional<platform::KernelClock> kernel = platform::ReadKernelClock();
    const std::optional<bool> watched = platform::SystemKernelClockState().Synchronised();
    const std::string ntp = !watched ? "unknown" : *watched ? "synchronised" : "unsynchronised";
    if (!kernel)
        return "kernel: unreadable ntp_gettime=" + ntp;
    return std::string("kernel: ") + (kernel->Unsynchronised() ? "unsynchronised" : "synchronised")
         + " maxerror=" + std::to_string(kernel->maxError.count())
         + " esterror=" + std::to_string(kernel->estError.count()) + " ntp_gettime=" + ntp;
}

} // namespace

int main(int argc, char** argv)
{
    using std::chrono::microseconds;
    using std::chrono::nanoseconds;
    if (!clockguard::UnderClockFilter()) {
        std::fprintf(stderr, "clock-setter-probe: not under the clock guard, so nothing is done\n");
        return 3;
    }
    std::unique_ptr<platform::ClockSetter> setter = std::make_unique<platform::SystemClockSetter>();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto next = [&] {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "clock-setter-probe: %s needs a value\n", argument.c_str());
                std::exit(2);
            }
            return std::stoll(argv[++i]);
        };
        if (argument == "--dry-run") {
            setter = std::make_unique<platform::DryRunClockSetter>();
        } else if (argument == "--without-time-capability") {
            if (!DropTimeCapability()) {
                std::perror("clock-setter-probe: capset");
                return 3;
            }
        } else if (argument == "--step") {
            std::printf("%s\n", Described(setter->StepBy(nanoseconds(next()))).c_str());
        } else if (argument == "--slew") {
            std::printf("%s\n", Described(setter->SlewBy(nanoseconds(next()))).c_str());
        } else if (argument == "--mark") {
            const microseconds maxError(next());
            const microseconds estError(next());
            std::printf("%s\n", Described(setter->MarkSynchronised(maxError, estError)).c_str());
        } else if (argument == "--slew-left") {
            const std::optional<microseconds> left = setter->SlewLeft();
            std::printf("slew left: %s\n", left ? (std::to_string(left->count()) + " us").c_str() : "unknown");
        } else if (argument == "--kernel") {
            std::printf("%s\n", Kernel().c_str());
        } else {
            std::printf("%s\n", Described(setter->SetClock(std::stoll(argument))).c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
