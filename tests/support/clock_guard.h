#pragma once

// Runs programs that could set the clock so that they cannot: under a seccomp filter that
// fails every clock-setting system call, with an interposer that records libc's
// clock-setting calls and answers them itself (tests/support/clock_guard/). Nothing is
// started until a probe under the very same guard has shown both layers in place. A set
// answered with success moves the clock that the programs of this guard read, as it would
// on a real machine; the machine's own clock stays where it is.

#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <memory>
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

    // A private folder that goes with the guard, for a test's own files.
    const std::string& Folder() const { return folder_; }

private:
    std::vector<std::string> GuardedCommand(const std::vector<std::string>& command, const std::string& record,
                                            const std::string& marker, const std::string& clock) const;

    Answer answer_;
    ClockGuardTools tools_;
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
