// The program's clock setters, run in a probe program under the clock guard: who sets,
// steps, slews and marks the clock (the program itself or its helper), that every outcome
// reaches the program, that nothing goes beyond the bounds of the settable range, that the
// kernel's state reads back as marked, and that a dry run changes nothing.

#include "platform/clock_range.h"
#include "tests/support/clock_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

using testing::ElementsAre;
using testing::EndsWith;
using testing::IsEmpty;
using testsupport::ClockGuard;

namespace {

const std::string kProbe = CLOCK_SETTER_PROBE;
const std::string kHelper = TAVRIN_SET_CLOCK;

bool TestsHoldTheTimeCapability()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> 25 & 1) != 0; // CAP_SYS_TIME
    return false;
}

std::string Pid(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

std::string Call(const std::string& line)
{
    return line.substr(line.find(' ') + 1);
}

// A second to set: a day from now, well within the settable range.
std::string Tomorrow()
{
    return std::to_string(std::time(nullptr) + 86400);
}

// The program path the interposer noted for the process that made `request`.
std::string ProgramOf(const ClockGuard& guard, const std::string& request)
{
    for (const std::string& load : guard.Loads())
        if (Pid(load) == Pid(request))
            return Call(load);
    return "?";
}

} // namespace

class ClockSetters : public testsupport::ClockGuardedTest {};

TEST_F(ClockSetters, WithTheTimeCapabilityTheProgramSetsTheClockItself)
{
    if (!TestsHoldTheTimeCapability())
        GTEST_SKIP() << "the tests run without CAP_SYS_TIME";
    const std::string second = Tomorrow();
    const auto probe = guard.Start({kProbe, second});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();
    EXPECT_EQ(probe->Output(), "set\n");

    const std::vector<std::string> requests = guard.Requests();
    ASSERT_THAT(requests, testing::SizeIs(1));
    EXPECT_EQ(requests[0], std::to_string(probe->Pid()) + " clock_settime 0 " + second + ".000000000");
    EXPECT_EQ(guard.Loads().size(), 1u) << "no helper was started";
}

TEST_F(ClockSetters, WithoutItTheHelperBesideTheProgramSetsTheClock)
{
    const std::string bin = guard.Folder() + "/bin";
    std::filesystem::create_directory(bin);
    std::filesystem::copy_file(kProbe, bin + "/clock-setter-probe");
    std::filesystem::copy_file(kHelper, bin + "/tavrin-set-clock");

    const auto probe =
        guard.Start({bin + "/clock-setter-probe", "--without-time-capability", "2147483648"}, {"PATH=/nonexistent"});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();
    EXPECT_EQ(probe->Output(), "set\n");

    const std::vector<std::string> requests = guard.Requests();
    ASSERT_THAT(requests, testing::SizeIs(1));
    EXPECT_EQ(Call(requests[0]), "clock_settime 0 2147483648.000000000");
    EXPECT_EQ(ProgramOf(guard, requests[0]), bin + "/tavrin-set-clock");
}

TEST_F(ClockSetters, AHelperNotBesideTheProgramIsLookedUpOnPath)
{
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    const std::string second = Tomorrow();
    const auto probe = guard.Start({kProbe, "--without-time-capability", second}, {"PATH=" + helperFolder});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();

    const std::vector<std::string> requests = guard.Requests();
    ASSERT_THAT(requests, testing::SizeIs(1));
    EXPECT_EQ(Call(requests[0]), "clock_settime 0 " + second + ".000000000");
    EXPECT_THAT(ProgramOf(guard, requests[0]), EndsWith("/tavrin-set-clock"));
}

TEST_F(ClockSetters, AMissingHelperLeavesTheClockAndIsReported)
{
    const auto probe = guard.Start({kProbe, "--without-time-capability", Tomorrow()}, {"PATH=/nonexistent"});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0);
    EXPECT_EQ(probe->Output(), "helper missing\n");
    EXPECT_EQ(probe->Errors(), "");
    EXPECT_THAT(guard.Requests(), IsEmpty());
}

TEST_F(ClockSetters, NeitherWaySetsASecondBeforeTheBuildDayOrAfter2200)
{
    const std::int64_t earliest = platform::EarliestSettableSecond();
    const std::vector<std::string> seconds = {"1211371200", std::to_string(earliest - 1), std::to_string(earliest),
                                              "7258118400", "7258118401"};
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    for (const bool throughHelper : {false, true}) {
        std::vector<std::string> command = {kProbe};
        if (throughHelper)
            command.push_back("--without-time-capability");
        else if (!TestsHoldTheTimeCapability())
            continue;
        command.insert(command.end(), seconds.begin(), seconds.end());
        const auto probe = guard.Start(command, {"PATH=" + helperFolder});
        ASSERT_TRUE(probe->WaitForExit());
        EXPECT_EQ(probe->Output(), "out of range\nout of range\nset\nset\nout of range\n") << throughHelper;
    }
    for (const std::string& request : guard.Requests()) {
        const std::string call = Call(request);
        EXPECT_TRUE(call == "clock_settime 0 " + std::to_string(earliest) + ".000000000"
                    || call == "clock_settime 0 7258118400.000000000")
            << call;
    }
}

TEST_F(ClockSetters, ADryRunSetsNothingAndPrintsEachTimeItWouldHaveSet)
{
    const auto probe = guard.Start({kProbe, "--dry-run", "1211371200", "253402300799"});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();
    EXPECT_EQ(probe->Output(), "dry run: clock not set to 2008-05-21 12:00:00 UTC (1211371200)\n"
                               "dry run\n"
                               "dry run: clock not set to 9999-12-31 23:59:59 UTC (253402300799)\n"
                               "dry run\n");
    EXPECT_THAT(guard.Requests(), IsEmpty());
}

TEST(ClockSettersRefused, TheSystemsRefusalReachesTheProgramWithItsReason)
{
    if (!TestsHoldTheTimeCapability())
        GTEST_SKIP() << "the tests run without CAP_SYS_TIME";
    ClockGuard guard(ClockGuard::Answer::Refusal);
    ASSERT_EQ(guard.Verify(), "") << "the clock guard is not in place; the probe is not run";
    const auto probe = guard.Start({kProbe, Tomorrow()});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0);
    EXPECT_EQ(probe->Output(), "refused: no permission\n");
    EXPECT_EQ(probe->Errors(), "");
    EXPECT_THAT(guard.Requests(), testing::SizeIs(1));
}

TEST(ClockSettersRefused, TheHelpersRefusalReachesTheProgramNotItsStandardError)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    ASSERT_EQ(guard.Verify(), "") << "the clock guard is not in place; the probe is not run";
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    const auto probe = guard.Start({kProbe, "--without-time-capability", Tomorrow()}, {"PATH=" + helperFolder});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0);
    EXPECT_EQ(probe->Output(), "refused: no permission\n");
    EXPECT_EQ(probe->Errors(), "");
}

TEST(ClockSetterProbe, RefusesToRunOutsideTheGuard)
{
    // A dry run, so that nothing could be set even if the probe's own check were broken.
    testsupport::ChildProcess probe({kProbe, "--dry-run", "1211371200"});
    ASSERT_TRUE(probe.WaitForExit());
    EXPECT_EQ(probe.ExitCode(), 3);
    EXPECT_THAT(probe.Errors(), testing::HasSubstr("not under the clock guard"));
    EXPECT_EQ(probe.Output(), "");
}

namespace {

// What the setters' probe said to a step, a slew and a mark, with the reads around them.
const std::string kChanges[] = {"--kernel",    "--step", "250000000", "--slew", "-12000000",
                                "--slew-left", "--mark", "20000",     "1500",   "--kernel"};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST_F(ClockSetters, StepSlewAndMarkReachTheKernelFromTheProgramOrItsHelper)
{
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    for (const bool throughHelper : {false, true}) {
        if (!throughHelper && !TestsHoldTheTimeCapability())
            continue;
        ClockGuard own;
        ASSERT_EQ(own.Verify(), "");
        std::vector<std::string> command = {kProbe};
        if (throughHelper)
            command.push_back("--without-time-capability");
        command.insert(command.end(), std::begin(kChanges), std::end(kChanges));
        const auto probe = own.Start(command, {"PATH=" + helperFolder});
        ASSERT_TRUE(probe->WaitForExit());
        EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();

        const std::vector<std::string> said = Lines(probe->Output());
        ASSERT_EQ(said.size(), 6u) << probe->Output();
        EXPECT_EQ(said[0], "kernel: unsynchronised maxerror=16000000 esterror=16000000 ntp_gettime=unsynchronised");
        EXPECT_EQ(said[1], "set");
        EXPECT_EQ(said[2], "set");
        EXPECT_THAT(said[3], testing::MatchesRegex("slew left: -1[12][0-9]{3} us")) << "some of 12 ms worked in";
        EXPECT_EQ(said[4], "set");
        EXPECT_EQ(said[5], "kernel: synchronised maxerror=20000 esterror=1500 ntp_gettime=synchronised");

        // Each change by whoever holds the right; the mark keeps the status bit the step set.
        std::vector<std::string> changes;
        for (const std::string& request : own.Requests()) {
            if (Call(request) == "clock_adjtime 0 modes=0" || Call(request) == "adjtime none")
                continue;
            EXPECT_EQ(ProgramOf(own, request).ends_with("/tavrin-set-clock"), throughHelper) << request;
            changes.push_back(Call(request));
        }
        EXPECT_THAT(changes, ElementsAre("clock_adjtime 0 modes=0x2100 setoffset=+0.250000000", "adjtime -0.012000",
                                         "clock_adjtime 0 modes=0x1c status=0x2000 maxerror=20000 esterror=1500"));
        const testsupport::GuardedClock clock = *own.Clock();
        EXPECT_EQ(clock.shift + clock.slewLeft, std::chrono::milliseconds(250 - 12));
    }
}

TEST_F(ClockSetters, NeitherWayStepsSlewsOrMarksBeyondTheBounds)
{
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    const std::string pastLatest =
        std::to_string((platform::kLatestSettableSecond - std::time(nullptr) + 1) * 1'000'000'000);
    for (const bool throughHelper : {false, true}) {
        std::vector<std::string> command = {kProbe};
        if (throughHelper)
            command.push_back("--without-time-capability");
        else if (!TestsHoldTheTimeCapability())
            continue;
        command.insert(command.end(), {"--step", pastLatest, "--slew", "500001000", "--slew", "-500001000", "--mark",
                                       "16000001", "0", "--mark", "10", "11"});
        const auto probe = guard.Start(command, {"PATH=" + helperFolder});
        ASSERT_TRUE(probe->WaitForExit());
        EXPECT_EQ(probe->Output(), "out of range\nout of range\nout of range\nout of range\nout of range\n")
            << throughHelper;
    }
    EXPECT_THAT(guard.Requests(), IsEmpty());
}

TEST_F(ClockSetters, ADryRunStepsSlewsAndMarksNothingAndPrintsEachChange)
{
    const auto probe = guard.Start(
        {kProbe, "--dry-run", "--step", "250000000", "--slew", "-12000000", "--slew-left", "--mark", "20000", "1500"});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->ExitCode(), 0) << probe->Errors();
    EXPECT_EQ(probe->Output(), "dry run: clock not stepped by +0.250 s\n"
                               "dry run\n"
                               "dry run: clock not slewed by -0.012 s\n"
                               "dry run\n"
                               "slew left: 0 us\n"
                               "dry run: kernel not told the clock is synchronised (maximum error 20000 us,"
                               " estimated 1500 us)\n"
                               "dry run\n");
    EXPECT_THAT(guard.Requests(), IsEmpty());
}

TEST(ClockSettersRefused, TheHelpersRefusalOfAStepSlewOrMarkReachesTheProgram)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    ASSERT_EQ(guard.Verify(), "") << "the clock guard is not in place; the probe is not run";
    const std::string helperFolder = kHelper.substr(0, kHelper.rfind('/'));
    const auto probe = guard.Start({kProbe, "--without-time-capability", "--step", "-1000000000", "--slew", "1000",
                                    "--mark", "20000", "1500", "--slew-left", "--kernel"},
                                   {"PATH=" + helperFolder});
    ASSERT_TRUE(probe->WaitForExit());
    EXPECT_EQ(probe->Output(),
              "refused: no permission\nrefused: no permission\nrefused: no permission\n"
              "slew left: 0 us\n"
              "kernel: unsynchronised maxerror=16000000 esterror=16000000 ntp_gettime=unsynchronised\n");
    EXPECT_EQ(probe->Errors(), "");
}
