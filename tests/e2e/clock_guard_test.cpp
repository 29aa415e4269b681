// The clock guard itself: each layer holds on its own, a missing layer is noticed, and then
// nothing is started.

#include "tests/support/clock_guard.h"
#include "tests/support/clock_guard/guard_protocol.h"
#include "tests/support/clock_guard/shared_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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
    std::string path = folder + "/plain-launcher";
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

TEST(ClockGuard, ARefusingGuardAnswersEverySetWithEpermAndReadsAsTheKernelDoes)
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

namespace {

using std::chrono::nanoseconds;

// Where the clock a program under `guard` reads stood from the real one at the moment it
// read: at least `least`, at most `most` ahead.
struct ShiftSeen {
    nanoseconds least;
    nanoseconds most;
    nanoseconds realBefore; // since 1970
    nanoseconds realAfter;
};

ShiftSeen ReadUnder(ClockGuard& guard)
{
    const auto probe = guard.Start({testsupport::BuiltClockGuardTools().probe, "--read-clock"});
    EXPECT_TRUE(probe->WaitForExit());
    long long before = 0, read = 0, after = 0;
    std::istringstream(probe->Output()) >> before >> read >> after;
    EXPECT_LE(before, after) << probe->Output() << probe->Errors();
    return {nanoseconds(read - after), nanoseconds(read - before), nanoseconds(before), nanoseconds(after)};
}

nanoseconds RealNow()
{
    return std::chrono::system_clock::now().time_since_epoch();
}

} // namespace

TEST(GuardedClock, StartsAtTheOffsetAskedForAndAClockOfItsOwnForEachGuard)
{
    ClockGuard guard;
    ClockGuard other;
    for (const nanoseconds offset :
         {nanoseconds(0), nanoseconds(-3'600'000'000'123), nanoseconds(86'400'000'000'777)}) {
        guard.StartClock(offset);
        const ShiftSeen seen = ReadUnder(guard);
        EXPECT_LE(seen.least, offset);
        EXPECT_GE(seen.most, offset);
        ASSERT_TRUE(guard.Clock().has_value());
        EXPECT_EQ(guard.Clock()->shift, offset);

        const ShiftSeen elsewhere = ReadUnder(other);
        EXPECT_LE(elsewhere.least, nanoseconds(0));
        EXPECT_GE(elsewhere.most, nanoseconds(0));
    }
}

TEST(GuardedClock, TheKernelsReceiptTimesAreReadOnItToo)
{
    // A program compares when bytes arrived with its clock: both must be the guarded one's.
    ClockGuard guard;
    for (const nanoseconds offset : {nanoseconds(86'400'000'000'777), nanoseconds(-3'600'000'000'123)}) {
        guard.StartClock(offset);
        const auto probe = guard.Start({testsupport::BuiltClockGuardTools().probe, "--read-receipt"});
        ASSERT_TRUE(probe->WaitForExit());
        ASSERT_EQ(probe->ExitCode(), 0) << probe->Errors();
        long long before = 0, stamp = 0, after = 0;
        std::istringstream(probe->Output()) >> before >> stamp >> after;
        EXPECT_LE(before, stamp) << probe->Output();
        EXPECT_LE(stamp, after) << probe->Output();
    }
}

TEST(GuardedClock, DriftsAtTheRateAskedFor)
{
    // A rate far beyond any real clock's, so that a fraction of a second shows it plainly.
    constexpr double kDriftPpm = 100'000;
    ClockGuard guard;
    guard.StartClock(nanoseconds(-5'000'000'000), kDriftPpm);
    const ShiftSeen first = ReadUnder(guard);
    const nanoseconds later = first.realAfter + std::chrono::milliseconds(300);
    while (RealNow() < later)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const ShiftSeen second = ReadUnder(guard);

    // What it gained between the two reads, and what it should have gained in the real
    // time between them, each bounded by when the reads may have happened.
    const double rate = kDriftPpm / 1e6;
    const auto gainedLeast = static_cast<double>((second.least - first.most).count());
    const auto gainedMost = static_cast<double>((second.most - first.least).count());
    const double dueLeast = rate * static_cast<double>((second.realBefore - first.realAfter).count());
    const double dueMost = rate * static_cast<double>((second.realAfter - first.realBefore).count());
    EXPECT_LE(gainedLeast, dueMost);
    EXPECT_GE(gainedMost, dueLeast);
    EXPECT_GT(gainedMost, 0.0);
}

TEST(GuardedClock, AReadOfTheKernelsStateIsAnsweredEvenWhereChangesAreRefused)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    // ntp_gettime reads; adjtime with a delta would slew and is refused.
    const auto shell = guard.Start({"/usr/bin/python3", "-c",
                                    "import ctypes\n"
                                    "libc = ctypes.CDLL(None, use_errno=True)\n"
                                    "print(libc.adjtime(None, ctypes.create_string_buffer(16)), ctypes.get_errno())\n"
                                    "delta = (ctypes.c_long * 2)(0, 1000)\n"
                                    "print(libc.adjtime(delta, None), ctypes.get_errno())\n"});
    ASSERT_TRUE(shell->WaitForExit());
    EXPECT_EQ(shell->Output(), "0 0\n-1 1\n") << shell->Errors();
    EXPECT_EQ(guard.Clock()->slewLeft, nanoseconds(0));
}

TEST(GuardedClock, ASlewIsWorkedOffAtFiveHundredPpmWithoutOvershootAndReanchoringChangesNothing)
{
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<std::int64_t> slews(-500'000'000, 500'000'000);
    std::uniform_int_distribution<std::int64_t> drifts(-500'000, 500'000); // ±500 ppm
    std::uniform_int_distribution<std::int64_t> steps(0, 400'000'000'000); // up to 400 s apart
    for (int round = 0; round < 200; ++round) {
        clockguard::ClockState state;
        state.anchorReal = 1'700'000'000'000'000'000;
        state.anchorShift = slews(random) * 10;
        state.driftPpb = drifts(random);
        state.slewLeft = slews(random);
        const clockguard::ClockState start = state;

        std::int64_t real = state.anchorReal;
        std::int64_t left = state.slewLeft;
        for (int step = 0; step < 8; ++step) {
            real += steps(random);
            const std::int64_t leftNow = clockguard::SlewLeftAt(start, real);
            // Never past zero, never growing, and at 500 µs a second until done.
            EXPECT_TRUE(leftNow == 0 || (leftNow > 0) == (start.slewLeft > 0)) << leftNow;
            EXPECT_LE(std::abs(leftNow), std::abs(left));
            const std::int64_t elapsed = real - start.anchorReal;
            EXPECT_EQ(std::abs(leftNow), std::max<std::int64_t>(std::abs(start.slewLeft) - elapsed / 2000, 0));
            left = leftNow;

            // Described anew from any moment, the clock reads the same, to a nanosecond of rounding each time.
            state = clockguard::AnchoredAt(state, real);
            const std::int64_t later = real + steps(random);
            EXPECT_NEAR(static_cast<double>(clockguard::ShiftAt(state, later)),
                        static_cast<double>(clockguard::ShiftAt(start, later)), 2.0 * (step + 1));
        }
    }
}
