// How the program runs its clock helper and reads what came of it, with stand-in helpers
// (shell scripts that set nothing): the arguments of each change, every exit status, a
// crash, a hang, a missing or forbidden helper, a change out of range. The real helper is tested under the clock guard
// elsewhere.

#include "platform/clock_range.h"
#include "platform/clock_setter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

using platform::ClockSetResult;
using platform::SystemClockSetter;
using Outcome = platform::ClockSetResult::Outcome;
using namespace std::chrono_literals;

namespace {

class HelperRun : public testing::Test {
protected:
    void SetUp() override
    {
        folder_ = testing::TempDir() + "tavrin-helper-run-" + std::to_string(getpid());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // A stand-in helper running `body` as a shell script.
    std::string Helper(const std::string& body, mode_t mode = 0700)
    {
        std::string path = folder_ + "/helper-" + std::to_string(++helpers_);
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), mode);
        return path;
    }

    ClockSetResult Run(const std::string& helper, std::int64_t second = Tomorrow(),
                       std::chrono::milliseconds patience = SystemClockSetter::kHelperPatience)
    {
        return SystemClockSetter(helper, patience).SetClockThroughHelper(second);
    }

    static std::int64_t Tomorrow() { return std::time(nullptr) + 86400; }

    std::string folder_;
    int helpers_ = 0;
};

} // namespace

TEST_F(HelperRun, EachExitStatusGivesItsOutcome)
{
    const std::string argument = folder_ + "/argument";
    const std::int64_t second = Tomorrow();
    EXPECT_EQ(Run(Helper("echo \"$@\" > " + argument), second).outcome, Outcome::Set);
    std::string passed;
    std::ifstream(argument) >> passed;
    EXPECT_EQ(passed, std::to_string(second));

    const ClockSetResult noPermission =
        Run(Helper("echo 'tavrin-set-clock: cannot set the clock: Operation not permitted' >&2; exit 1"));
    EXPECT_EQ(noPermission.outcome, Outcome::Refused);
    EXPECT_EQ(noPermission.reason, "no permission");

    EXPECT_EQ(Run(Helper("exit 3")).outcome, Outcome::OutOfRange);

    const ClockSetResult otherRefusal =
        Run(Helper("echo 'tavrin-set-clock: cannot set the clock: Invalid argument' >&2; exit 4"));
    EXPECT_EQ(otherRefusal.outcome, Outcome::Refused);
    EXPECT_EQ(otherRefusal.reason, "invalid argument");

    const ClockSetResult badArguments = Run(Helper("echo 'tavrin-set-clock: something odd' >&2; exit 2"));
    EXPECT_EQ(badArguments.outcome, Outcome::HelperFailed);
    EXPECT_EQ(badArguments.reason, "exit status 2: something odd");

    const ClockSetResult crashed = Run(Helper("kill -SEGV $$"));
    EXPECT_EQ(crashed.outcome, Outcome::HelperFailed);
    EXPECT_EQ(crashed.reason, "it was ended by SEGV");
}

TEST_F(HelperRun, AHungHelperIsKilledReportedAndReaped)
{
    const std::string pidFile = folder_ + "/pid";
    const auto started = std::chrono::steady_clock::now();
    const ClockSetResult result = Run(Helper("echo $$ > " + pidFile + "; exec sleep 30"), Tomorrow(), 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(result.outcome, Outcome::HelperFailed);
    EXPECT_EQ(result.reason, "it did not finish within 200 ms and was stopped");

    pid_t helper = 0;
    std::ifstream(pidFile) >> helper;
    ASSERT_GT(helper, 0);
    EXPECT_EQ(kill(helper, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the helper is still there, perhaps as a zombie";
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child of the test is left unreaped";
}

TEST_F(HelperRun, AMissingOrForbiddenHelperIsReportedAsSuch)
{
    EXPECT_EQ(Run(folder_ + "/no-such-helper").outcome, Outcome::HelperMissing);
    EXPECT_EQ(Run("tavrin-no-such-helper").outcome, Outcome::HelperMissing); // looked up on PATH

    const ClockSetResult forbidden = Run(Helper("exit 0", 0644));
    EXPECT_EQ(forbidden.outcome, Outcome::Refused);
    EXPECT_EQ(forbidden.reason, "no permission to run tavrin-set-clock");
}

TEST_F(HelperRun, ASecondOutsideTheSettableRangeNeverStartsTheHelper)
{
    const std::string witness = folder_ + "/ran";
    const std::string helper = Helper("touch " + witness);
    EXPECT_EQ(Run(helper, platform::EarliestSettableSecond() - 1).outcome, Outcome::OutOfRange);
    EXPECT_EQ(Run(helper, platform::kLatestSettableSecond + 1).outcome, Outcome::OutOfRange);
    EXPECT_FALSE(std::filesystem::exists(witness));
    EXPECT_EQ(Run(helper, platform::EarliestSettableSecond()).outcome, Outcome::Set);
    EXPECT_TRUE(std::filesystem::exists(witness));
}

TEST_F(HelperRun, EachChangeReachesTheHelperInItsOwnWordsAndItsStatusComesBack)
{
    const std::string argument = folder_ + "/arguments";
    const std::string recorder = Helper("echo \"$@\" > " + argument);
    const std::string refuser =
        Helper("echo 'tavrin-set-clock: cannot step the clock: Operation not permitted' >&2; exit 1");
    const SystemClockSetter setter(recorder);
    const SystemClockSetter refused(refuser);
    const std::vector<std::tuple<std::function<ClockSetResult(const SystemClockSetter&)>, std::string>> cases = {
        {[](const SystemClockSetter& s) { return s.StepByThroughHelper(250ms); }, "--step +0.250000000"},
        {[](const SystemClockSetter& s) { return s.StepByThroughHelper(-90s - 1ns); }, "--step -90.000000001"},
        {[](const SystemClockSetter& s) { return s.SlewByThroughHelper(-12ms); }, "--slew -0.012000000"},
        {[](const SystemClockSetter& s) { return s.SlewByThroughHelper(500ms); }, "--slew +0.500000000"},
        {[](const SystemClockSetter& s) { return s.MarkSynchronisedThroughHelper(20000us, 1500us); },
         "--synchronised 20000 1500"},
    };
    for (const auto& [change, words] : cases) {
        std::filesystem::remove(argument);
        EXPECT_EQ(change(setter).outcome, Outcome::Set) << words;
        std::string passed;
        std::getline(std::ifstream(argument), passed);
        EXPECT_EQ(passed, words);

        const ClockSetResult refusal = change(refused);
        EXPECT_EQ(refusal.outcome, Outcome::Refused) << words;
        EXPECT_EQ(refusal.reason, "no permission") << words;
    }
}

TEST_F(HelperRun, AChangeBeyondItsBoundNeverStartsTheHelper)
{
    const std::string witness = folder_ + "/ran";
    const SystemClockSetter setter(Helper("touch " + witness));
    const auto toLatest = std::chrono::seconds(platform::kLatestSettableSecond - std::time(nullptr));
    const std::vector<std::function<ClockSetResult()>> cases = {
        [&] { return setter.StepByThroughHelper(toLatest + 3600s); },
        [&] { return setter.StepByThroughHelper(-std::chrono::seconds(std::time(nullptr))); },
        [&] { return setter.SlewByThroughHelper(500ms + 1us); },
        [&] { return setter.SlewByThroughHelper(-501ms); },
        [&] { return setter.MarkSynchronisedThroughHelper(16s + 1us, 0us); },
        [&] { return setter.MarkSynchronisedThroughHelper(10us, 11us); },
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i]().outcome, Outcome::OutOfRange) << "case " << i;
    EXPECT_FALSE(std::filesystem::exists(witness));
}
