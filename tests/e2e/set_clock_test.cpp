// tavrin-set-clock, always under the clock guard: it sets exactly the second it is given,
// steps and slews by exactly the offset, marks the clock synchronised keeping the kernel's
// other status bits, refuses malformed arguments, and anything out of range.

#include "platform/clock_range.h"
#include "platform/set_clock/exit_status.h"
#include "platform/set_clock/request.h"
#include "tests/support/clock_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/timex.h>

#include <chrono>
#include <thread>

using testing::HasSubstr;
using testsupport::ChildProcess;
using testsupport::ClockGuard;
using namespace std::chrono_literals;

namespace {

const std::string kHelper = TAVRIN_SET_CLOCK;

struct Outcome {
    int exitCode;
    std::string errors;
    std::vector<std::string> requests;
};

Outcome RunHelper(ClockGuard& guard, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), kHelper);
    const auto helper = guard.Start(arguments);
    EXPECT_TRUE(helper->WaitForExit());
    return {helper->ExitCode(), helper->Errors(), guard.Requests()};
}

std::string SetRequest(const std::string& seconds)
{
    return "clock_settime 0 " + seconds + ".000000000";
}

// The request lines without their process numbers.
std::vector<std::string> Calls(const std::vector<std::string>& requests)
{
    std::vector<std::string> calls;
    for (const std::string& line : requests)
        calls.push_back(line.substr(line.find(' ') + 1));
    return calls;
}

const std::string kEarliest = std::to_string(platform::EarliestSettableSecond());

} // namespace

class SetClockHelper : public testsupport::ClockGuardedTest {};

TEST_F(SetClockHelper, SetsTheRealtimeClockToTheGivenSecond)
{
    const Outcome outcome = RunHelper(guard, {"4102444800"});
    EXPECT_EQ(outcome.exitCode, setclock::kSet);
    EXPECT_EQ(outcome.errors, "");
    EXPECT_THAT(Calls(outcome.requests), testing::ElementsAre(SetRequest("4102444800")));
}

TEST_F(SetClockHelper, TakesTheWholeRangeWithoutWrapping)
{
    const std::vector<std::pair<std::string, std::string>> cases = {{kEarliest, kEarliest},
                                                                    {"00" + kEarliest, kEarliest},
                                                                    {"4294967296", "4294967296"},
                                                                    {"7258118400", "7258118400"}};
    for (const auto& [argument, seconds] : cases) {
        const Outcome outcome = RunHelper(guard, {argument});
        EXPECT_EQ(outcome.exitCode, 0) << argument << ": " << outcome.errors;
        ASSERT_FALSE(outcome.requests.empty()) << argument;
        EXPECT_EQ(Calls(outcome.requests).back(), SetRequest(seconds)) << argument;
    }
    EXPECT_EQ(guard.Requests().size(), cases.size());
}

TEST_F(SetClockHelper, RefusesAnythingButOneDecimalCountWithOneLineAndStatusTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "got none"},
        {{"1211371200", "1211371201"}, "got 2 arguments"},
        {{"-5"}, "only the digits 0-9"},
        {{"+5"}, "only the digits 0-9"},
        {{"12a"}, "only the digits 0-9"},
        {{""}, "only the digits 0-9"},
        {{" 12"}, "only the digits 0-9"},
        {{"1e9"}, "only the digits 0-9"},
        {{"0x10"}, "only the digits 0-9"},
        {{"1211371200.5"}, "only the digits 0-9"},
        {{"12\n34"}, "'12?34' is not a count"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Outcome outcome = RunHelper(guard, arguments);
        const std::string shown = testing::PrintToString(arguments);
        EXPECT_EQ(outcome.exitCode, setclock::kBadArguments) << shown;
        EXPECT_THAT(outcome.errors, testing::StartsWith("tavrin-set-clock: ")) << shown;
        EXPECT_THAT(outcome.errors, HasSubstr(reason)) << shown;
        EXPECT_EQ(std::count(outcome.errors.begin(), outcome.errors.end(), '\n'), 1) << shown;
    }
    EXPECT_THAT(guard.Requests(), testing::IsEmpty());
}

TEST_F(SetClockHelper, RefusesASecondBeforeItsBuildDayOrAfter2200WithStatusThree)
{
    const std::string dayBefore = std::to_string(platform::EarliestSettableSecond() - 1);
    for (const std::string& seconds : {std::string("0"), std::string("1211371200"), dayBefore,
                                       std::string("7258118401"), std::string("99999999999999999999999")}) {
        const Outcome outcome = RunHelper(guard, {seconds});
        EXPECT_EQ(outcome.exitCode, setclock::kOutOfRange) << seconds;
        EXPECT_THAT(outcome.errors, HasSubstr("out of range: the clock is set only from " + kEarliest)) << seconds;
        EXPECT_THAT(outcome.errors,
                    HasSubstr("the day this program was built) to 7258118400 (2200-01-01 00:00:00 UTC)"));
    }
    EXPECT_THAT(guard.Requests(), testing::IsEmpty());
}

TEST_F(SetClockHelper, ItsUsageNamesTheRange)
{
    const Outcome outcome = RunHelper(guard, {});
    EXPECT_THAT(outcome.errors, HasSubstr("one count of seconds since 1970-01-01 00:00:00 UTC, from " + kEarliest));
    EXPECT_THAT(outcome.errors, HasSubstr("to 7258118400 (2200-01-01 00:00:00 UTC), got none"));
}

TEST(SetClockHelperRefused, ReportsTheSystemsRefusalWithStatusOne)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    ASSERT_EQ(guard.Verify(), "") << "the clock guard is not in place; the helper is not run";
    const Outcome outcome = RunHelper(guard, {"4102444800"});
    EXPECT_EQ(outcome.exitCode, setclock::kNoPermission);
    EXPECT_EQ(outcome.errors, "tavrin-set-clock: cannot set the clock: Operation not permitted\n");
}

TEST_F(SetClockHelper, StepsTheClockByExactlyTheOffsetAtOnce)
{
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"+0.25", "clock_adjtime 0 modes=0x2100 setoffset=+0.250000000"},
        {"-1.5", "clock_adjtime 0 modes=0x2100 setoffset=-1.500000000"},
        {"+3600.000000001", "clock_adjtime 0 modes=0x2100 setoffset=+3600.000000001"},
    };
    std::chrono::nanoseconds shift{0};
    for (const auto& [offset, request] : steps) {
        const Outcome outcome = RunHelper(guard, {"--step", offset});
        EXPECT_EQ(outcome.exitCode, setclock::kSet) << offset << ": " << outcome.errors;
        ASSERT_FALSE(outcome.requests.empty());
        EXPECT_EQ(Calls(outcome.requests).back(), request);
        shift += setclock::ParseArguments({"--step", offset}).request->offset;
        EXPECT_EQ(guard.Clock()->shift, shift) << offset;
    }
    EXPECT_EQ(guard.Requests().size(), steps.size());
}

TEST_F(SetClockHelper, StepsOnlyWithinTheSettableRangeOfTheClockItReads)
{
    // The guarded clock reads a minute before 2200: a step may take it to the last second.
    const auto real = std::chrono::system_clock::now().time_since_epoch();
    guard.StartClock(std::chrono::seconds(platform::kLatestSettableSecond - 60) - real);
    const std::vector<std::pair<std::string, int>> cases = {{"+58", setclock::kSet},
                                                            {"+3", setclock::kOutOfRange},
                                                            {"-58", setclock::kSet},
                                                            {"+61", setclock::kOutOfRange},
                                                            {"-99999999999", setclock::kOutOfRange}};
    for (const auto& [offset, status] : cases) {
        const Outcome outcome = RunHelper(guard, {"--step", offset});
        EXPECT_EQ(outcome.exitCode, status) << offset << ": " << outcome.errors;
        if (status == setclock::kOutOfRange) {
            EXPECT_THAT(outcome.errors, HasSubstr("a step of " + offset + " s is out of range: the clock is set only"));
        }
    }
    EXPECT_THAT(Calls(guard.Requests()), testing::ElementsAre("clock_adjtime 0 modes=0x2100 setoffset=+58.000000000",
                                                              "clock_adjtime 0 modes=0x2100 setoffset=-58.000000000"));
}

TEST_F(SetClockHelper, SlewsGraduallyUntilTheWholeOffsetIsWorkedIn)
{
    ASSERT_EQ(RunHelper(guard, {"--slew", "+0.3"}).exitCode, setclock::kSet);
    // A new slew replaces the one under way rather than adding to it.
    const Outcome outcome = RunHelper(guard, {"--slew", "-0.001"});
    EXPECT_EQ(outcome.exitCode, setclock::kSet) << outcome.errors;
    EXPECT_THAT(Calls(outcome.requests), testing::ElementsAre("adjtime +0.300000", "adjtime -0.001000"));

    // What the first slew worked in stays; what is left is the second one's, less what it
    // has worked in since. At 500 ppm a millisecond takes two seconds: the clock falls
    // behind step by step and stops at exactly the offset.
    const testsupport::GuardedClock replaced = *guard.Clock();
    EXPECT_LE(replaced.slewLeft, 0ns);
    EXPECT_GT(replaced.slewLeft, -1ms);
    const std::chrono::nanoseconds end = replaced.shift + replaced.slewLeft;
    std::chrono::nanoseconds lastShift = replaced.shift;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (guard.Clock()->slewLeft != 0ns && std::chrono::steady_clock::now() < deadline) {
        const std::chrono::nanoseconds shift = guard.Clock()->shift;
        EXPECT_LE(shift, lastShift);
        EXPECT_GE(shift, end);
        lastShift = shift;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(guard.Clock()->slewLeft, 0ns);
    EXPECT_EQ(guard.Clock()->shift, end);
}

TEST_F(SetClockHelper, MarksTheClockSynchronisedKeepingTheKernelsOtherStatusBits)
{
    // Another synchroniser left the clock under its phase-locked loop, held in frequency.
    const auto other = guard.Start({"/usr/bin/python3", "-c",
                                    "import ctypes, struct, sys\n"
                                    "request = ctypes.create_string_buffer(256)\n"
                                    "struct.pack_into('I', request, 0, 0x10)\n"
                                    "struct.pack_into('i', request, 40, int(sys.argv[1]))\n"
                                    "print(ctypes.CDLL(None).adjtimex(request))\n",
                                    std::to_string(STA_PLL | STA_FREQHOLD | STA_UNSYNC)});
    ASSERT_TRUE(other->WaitForExit());
    ASSERT_EQ(other->Output(), std::to_string(TIME_ERROR) + "\n") << other->Errors();

    const Outcome outcome = RunHelper(guard, {"--synchronised", "20000", "1500"});
    EXPECT_EQ(outcome.exitCode, setclock::kSet) << outcome.errors;
    char expected[128];
    std::snprintf(expected, sizeof expected, "clock_adjtime 0 modes=0x1c status=%#x maxerror=20000 esterror=1500",
                  STA_PLL | STA_FREQHOLD);
    EXPECT_THAT(Calls(outcome.requests), testing::ElementsAre(testing::StartsWith("adjtimex modes=0x10 status="),
                                                              "clock_adjtime 0 modes=0", expected));
    EXPECT_EQ(guard.Clock()->status, STA_PLL | STA_FREQHOLD);
    EXPECT_EQ(guard.Clock()->maxError, 20000us);
    EXPECT_EQ(guard.Clock()->estError, 1500us);
}

TEST_F(SetClockHelper, RefusesASlewOrErrorsBeyondTheirBoundsWithStatusThree)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--slew", "+0.500000001"}, "a slew of +0.500000001 s is out of range: it reaches at most +0.500000000 s"},
        {{"--slew", "-1"}, "a slew of -1 s is out of range"},
        {{"--synchronised", "16000001", "0"}, "errors of 16000001 and 0 us are out of range"},
        {{"--synchronised", "100", "101"}, "errors of 100 and 101 us are out of range"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Outcome outcome = RunHelper(guard, arguments);
        EXPECT_EQ(outcome.exitCode, setclock::kOutOfRange) << testing::PrintToString(arguments);
        EXPECT_THAT(outcome.errors, testing::StartsWith("tavrin-set-clock: " + reason))
            << testing::PrintToString(arguments);
        EXPECT_EQ(std::count(outcome.errors.begin(), outcome.errors.end(), '\n'), 1);
    }
    EXPECT_THAT(guard.Requests(), testing::IsEmpty());
    EXPECT_EQ(RunHelper(guard, {"--slew", "-0.5"}).exitCode, setclock::kSet);
    EXPECT_EQ(RunHelper(guard, {"--synchronised", "16000000", "16000000"}).exitCode, setclock::kSet);
}

TEST_F(SetClockHelper, RefusesMalformedChangesWithStatusTwo)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--step"}, {"--step", "0.25"}, {"--slew", "+1.1234567890"}, {"--synchronised", "-1", "0"}}) {
        const Outcome outcome = RunHelper(guard, arguments);
        EXPECT_EQ(outcome.exitCode, setclock::kBadArguments) << testing::PrintToString(arguments);
        EXPECT_EQ(std::count(outcome.errors.begin(), outcome.errors.end(), '\n'), 1);
    }
    EXPECT_THAT(guard.Requests(), testing::IsEmpty());
}

TEST(SetClockHelperRefused, ReportsTheSystemsRefusalOfEachChangeWithStatusOne)
{
    ClockGuard guard(ClockGuard::Answer::Refusal);
    ASSERT_EQ(guard.Verify(), "") << "the clock guard is not in place; the helper is not run";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--step", "+1"}, "cannot step the clock"},
        {{"--slew", "+0.1"}, "cannot slew the clock"},
        {{"--synchronised", "1000", "100"}, "cannot mark the clock synchronised"},
    };
    for (const auto& [arguments, what] : cases) {
        const Outcome outcome = RunHelper(guard, arguments);
        EXPECT_EQ(outcome.exitCode, setclock::kNoPermission);
        EXPECT_EQ(outcome.errors, "tavrin-set-clock: " + what + ": Operation not permitted\n");
    }
    EXPECT_EQ(guard.Clock()->shift, 0ns);
    EXPECT_EQ(guard.Clock()->slewLeft, 0ns);
    EXPECT_EQ(guard.Clock()->status, STA_UNSYNC);
}
