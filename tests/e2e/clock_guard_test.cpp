// The clock guard itself: each layer holds on its own, a missing layer is noticed, and then
// nothing is started.

#include "tests/support/clock_guard.h"
#include "tests/support/clock_guard/guard_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

using testing::HasSubstr;
using testsupport::ChildProcess;
using testsupport::ClockGuard;
using testsupport::ClockGuardTools;
using testsupport::GuardNotInPlace;

namespace {

std::vector<std::string> LinesOfProcess(const std::vector<std::string>& lines, pid_t pid)
{
    std::vector<std::string> own;
    for (const std::string& line : lines)
        if (line.starts_with(std::to_string(pid) + " "))
            own.push_back(line.substr(line.find(' ') + 1));
    return own;
}

// A launcher that skips its options and runs the program with neither layer.
std::string WritePlainLauncher(const std::string& folder)
{
    const std::string path = folder + "/plain-launcher";
    std::ofstream(path) << "#!/bin/sh\nwhile [ \"$1\" != -- ]; do shift; done\nshift\nexec \"$@\"\n";
    chmod(path.c_str(), 0700);
    return path;
}

class ScratchFolder {
public:
    ScratchFolder() : path_(testing::TempDir() + "tavrin-guard-test-" + std::to_string(getpid()))
    {
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace

TEST(ClockGuard, TheProbeFindsBothLayersInPlace)
{
    ClockGuard guard;
    EXPECT_EQ(guard.Verify(), "");
}

TEST(ClockGuard, TheInterposerRecordsEveryLibcCallWithItsArgumentsAndMarksItsLoad)
{
    ClockGuard guard;
    const auto probe = guard.Start({testsupport::BuiltClockGuardTools().probe});
    ASSERT_TRUE(probe->WaitForExit());
    ASSERT_EQ(probe->ExitCode(), 0) << probe->Output();

    const std::vector<std::string> requests = LinesOfProcess(guard.Requests(), probe->Pid());
    ASSERT_EQ(requests.size(), 6u) << testing::PrintToString(guard.Requests());
    EXPECT_THAT(requests[0], testing::MatchesRegex("clock_settime 0 [0-9]+\\.[0-9]{9}"));
    EXPECT_THAT(requests[1], testing::MatchesRegex("settimeofday [0-9]+\\.[0-9]{6}"));
    EXPECT_EQ(requests[2], "adjtime none");
    EXPECT_EQ(requests[3], "adjtimex modes=0");
    EXPECT_EQ(requests[4], "ntp_adjtime modes=0");
    EXPECT_EQ(requests[5], "clock_adjtime 0 modes=0");
    EXPECT_THAT(LinesOfProcess(guard.Loads(), probe->Pid()),
                testing::ElementsAre(testing::EndsWith("/tavrin-clock-guard-probe")));
}

TEST(ClockGuard, ASetMovesTheClockOfEveryProgramOfThatGuardAndNoOther)
{
    ClockGuard guard;
    // date -s sets through clock_settime; the second date reads the clock in a process of its own.
    const auto shell = guard.Start({"/bin/sh", "-c", "date -u -s @4102444800 >/dev/null && date -u +%s"});
    ASSERT_TRUE(shell->WaitForExit());
    ASSERT_EQ(shell->ExitCode(), 0) << shell->Errors();
    const long long seen = std::stoll(shell->Output());
    EXPECT_GE(seen, 4102444800LL);
    EXPECT_LE(seen, 4102444805LL);
    EXPECT_THAT(guard.Requests(), testing::Contains(testing::EndsWith("clock_settime 0 4102444800.000000000")));

    ClockGuard other;
    const auto elsewhere = other.Start({"/bin/date", "-u", "+%s"});
    ASSERT_TRUE(elsewhere->WaitForExit());
    EXPECT_LT(std::stoll(elsewhere->Output()), 4102444800LL);
    EXPECT_LT(std::time(nullptr), 4102444800LL) << "the machine's own clock moved";
}

TEST(ClockGuard, ARefusedSetLeavesTheClockWhereItWas)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    const auto shell = guard.Start({"/bin/sh", "-c", "date -u -s @4102444800 >/dev/null 2>&1; date -u +%s"});
    ASSERT_TRUE(shell->WaitForExit());
    EXPECT_LT(std::stoll(shell->Output()), 4102444800LL);
}

TEST(ClockGuard, TheFilterAloneFailsEveryLibcCallWithItsMarker)
{
    const ClockGuardTools tools = testsupport::BuiltClockGuardTools();
    ChildProcess probe({tools.launcher, "--", tools.probe, "--libc", "blocked"});
    ASSERT_TRUE(probe.WaitForExit());
    EXPECT_EQ(probe.ExitCode(), 0) << probe.Output();
    EXPECT_THAT(probe.Output(), HasSubstr("held: libc settimeofday"));
}

TEST(ClockGuard, ARefusingGuardAnswersEveryCallWithEperm)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    EXPECT_EQ(guard.Verify(), "");
}

TEST(ClockGuard, ProgramsStartedByTheGuardedProgramAreGuardedToo)
{
    ClockGuard guard;
    const std::string probePath = testsupport::BuiltClockGuardTools().probe;
    const auto shell = guard.Start({"/bin/sh", "-c", "\"$0\"; exit $?", probePath});
    ASSERT_TRUE(shell->WaitForExit());
    EXPECT_EQ(shell->ExitCode(), 0) << shell->Output();
    EXPECT_THAT(guard.Loads(), testing::Contains(testing::EndsWith("/tavrin-clock-guard-probe")));
    EXPECT_EQ(guard.Loads().size(), 2u); // the shell and the probe
}

TEST(ClockGuard, AMissingFilterIsNoticedAndNothingIsStarted)
{
    ScratchFolder scratch;
    ClockGuardTools tools = testsupport::BuiltClockGuardTools();
    tools.launcher = WritePlainLauncher(scratch.Path());
    ClockGuard guard(ClockGuard::Answer::Success, tools);

    const std::string missing = guard.Verify();
    EXPECT_THAT(missing, HasSubstr("FAILED: clock_settime system call"));
    EXPECT_THAT(missing, HasSubstr("the libc functions were not called"));

    const std::string witness = scratch.Path() + "/ran";
    EXPECT_THROW(guard.Start({"/usr/bin/touch", witness}), GuardNotInPlace);
    EXPECT_FALSE(std::filesystem::exists(witness));
}

TEST(ClockGuard, AMissingInterposerIsNoticedAndNothingIsStarted)
{
    ScratchFolder scratch;
    ClockGuardTools tools = testsupport::BuiltClockGuardTools();
    tools.interposer = scratch.Path() + "/no-such-interposer.so";
    ClockGuard guard(ClockGuard::Answer::Success, tools);

    const std::string missing = guard.Verify();
    EXPECT_THAT(missing, HasSubstr("FAILED: libc clock_settime (errno " + std::to_string(clockguard::kBlockedErrno)));

    const std::string witness = scratch.Path() + "/ran";
    EXPECT_THROW(guard.Start({"/usr/bin/touch", witness}), GuardNotInPlace);
    EXPECT_FALSE(std::filesystem::exists(witness));
}

TEST(ClockGuard, TheLauncherRunsNothingWithoutAProgram)
{
    ChildProcess launcher({testsupport::BuiltClockGuardTools().launcher, "--record", "/dev/null"});
    ASSERT_TRUE(launcher.WaitForExit());
    EXPECT_NE(launcher.ExitCode(), 0);
    EXPECT_THAT(launcher.Errors(), HasSubstr("no program given"));
}
