// tavrin-set-clock, always under the clock guard: it sets exactly the second it is given,
// refuses anything but one decimal count, and anything before its build day or after 2200.

#include "platform/clock_range.h"
#include "platform/set_clock/exit_status.h"
#include "tests/support/clock_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;
using testsupport::ChildProcess;
using testsupport::ClockGuard;

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
    EXPECT_THAT(outcome.errors,
                HasSubstr("expected one count of seconds since 1970-01-01 00:00:00 UTC, from " + kEarliest));
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
