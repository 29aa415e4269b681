#pragma once

// Runs programs that could set the clock so that they cannot: under a seccomp filter that
// fails every clock-setting system call, with an interposer that records libc's
// clock-setting calls and answers them itself (tests/support/clock_guard/). Nothing is
// started until a probe under the very same guard has shown both layers in place. A set,
// a step or a slew answered with success moves the clock that the programs of this guard
// read, as it would on a real machine, and a new kernel status is what they read back; the
// machine's own clock stays where it is.

#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// The guard's parts; by default the ones this build made.
struct ClockGuardTools {
    std::string launcher;
    std::string interposer;
    std::string probe;
};
ClockGuardTools BuiltClockGuardTools();

// Thrown instead of starting a program under a guard that is not in place.
class GuardNotInPlace : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The clock that the programs of one guard read, and the kernel's state they see.
struct GuardedClock {
    std::chrono::nanoseconds shift;    // how far it stands ahead of the real clock
    std::chrono::nanoseconds slewLeft; // what of the last slew is still to be worked off
    int status;                        // the kernel's STA_ bits
    std::chrono::microseconds maxError;
    std::chrono::microseconds estError;
};

class ClockGuard {
public:
    enum class Answer {
        Success, // clock-setting calls seem to work
        Refusal, // they fail with EPERM, as for a program without the right
    };

    explicit ClockGuard(Answer answer = Answer::Success, ClockGuardTools tools = BuiltClockGuardTools());
    ~ClockGuard();
    ClockGuard(const ClockGuard&) = delete;
    ClockGuard& operator=(const ClockGuard&) = delete;

    // Runs the probe under the guard. Empty when the filter failed every clock-setting
    // system call with its marker errno and the interposer loaded into the probe and
    // answered its libc calls; otherwise what is missing, with the probe's own report.
    std::string Verify();

    // Starts `command` under the guard, proving the guard first if that was not done yet.
    // Throws GuardNotInPlace, having started nothing, when it is not in place.
    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& command,
                                        const std::vector<std::string>& environment = {});

    // Lines "<pid> <call> <arguments>" for each clock-setting call that programs started
    // here made, e.g. "4711 clock_settime 0 1211371200.000000000".
    std::vector<std::string> Requests() const;
    // Lines "<pid> <program path>", one for each process the interposer loaded into.
    std::vector<std::string> Loads() const;

    // The programs started from now on read a clock `offset` ahead of the real one, which
    // gains `driftPpm` millionths of a second on it each second, and a kernel that calls
    // the clock unsynchronised, as after boot. What earlier programs changed is forgotten:
    // call it before starting the programs that are to share the clock.
    void StartClock(std::chrono::nanoseconds offset, double driftPpm = 0);

    // That clock as the programs read it at this moment; nothing before one was started.
    std::optional<GuardedClock> Clock() const;

    // A private folder that goes with the guard, for a test's own files.
    const std::string& Folder() const { return folder_; }

private:
    std::vector<std::string> GuardedCommand(const std::vector<std::string>& command, const std::string& record,
                                            const std::string& marker, const std::string& clock) const;

    Answer answer_;
    ClockGuardTools tools_;
    std::chrono::nanoseconds clockOffset_{0};
    long long clockDriftPpb_ = 0;
    std::string folder_;
    bool verified_ = false;
};

// Fixture for tests that run programs able to set the clock: the guard is proven before
// the body runs, and a test whose guard is not in place stops there.
class ClockGuardedTest : public testing::Test {
protected:
    void SetUp() override;

    ClockGuard guard;
};

} // namespace testsupport
