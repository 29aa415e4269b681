// The clock helper's command line: what it takes, what it refuses as malformed, which
// requests lie within range, and that what the program writes the helper reads back.

#include "platform/clock_range.h"
#include "platform/set_clock/request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

using setclock::ArgumentsFor;
using setclock::ParseArguments;
using setclock::Request;
using std::chrono::microseconds;
using std::chrono::nanoseconds;
using Kind = setclock::Request::Kind;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

Request Make(Kind kind, std::int64_t seconds, nanoseconds offset, microseconds maxError = 0us,
             microseconds estError = 0us)
{
    Request request;
    request.kind = kind;
    request.seconds = seconds;
    request.offset = offset;
    request.maxError = maxError;
    request.estError = estError;
    return request;
}

std::optional<Request> Parse(const std::vector<std::string_view>& arguments)
{
    return ParseArguments(arguments).request;
}

} // namespace

TEST(SetClockRequest, TakesEachFormAndReadsItsNumbersExactly)
{
    const std::vector<std::pair<std::vector<std::string_view>, Request>> cases = {
        {{"1211371200"}, Make(Kind::SetTo, 1211371200, 0ns)},
        {{"001211371200"}, Make(Kind::SetTo, 1211371200, 0ns)},
        {{"99999999999999999999999"}, Make(Kind::SetTo, kLargest, 0ns)},
        {{"--step", "+0.25"}, Make(Kind::StepBy, 0, 250ms)},
        {{"--step", "-0.25"}, Make(Kind::StepBy, 0, -250ms)},
        {{"--step", "+12"}, Make(Kind::StepBy, 0, 12s)},
        {{"--step", "-3600.000000001"}, Make(Kind::StepBy, 0, -3600s - 1ns)},
        {{"--step", "+0.123456789"}, Make(Kind::StepBy, 0, 123456789ns)},
        {{"--step", "+0.0"}, Make(Kind::StepBy, 0, 0ns)},
        {{"--step", "+99999999999999999999"}, Make(Kind::StepBy, 0, nanoseconds(kLargest))},
        {{"--step", "-9223372037"}, Make(Kind::StepBy, 0, nanoseconds(-kLargest))},
        {{"--slew", "-0.012"}, Make(Kind::SlewBy, 0, -12ms)},
        {{"--slew", "+0.5"}, Make(Kind::SlewBy, 0, 500ms)},
        {{"--synchronised", "20000", "1500"}, Make(Kind::MarkSynchronised, 0, 0ns, 20000us, 1500us)},
        {{"--synchronised", "0", "0"}, Make(Kind::MarkSynchronised, 0, 0ns)},
        {{"--synchronised", "99999999999999999999", "1"},
         Make(Kind::MarkSynchronised, 0, 0ns, microseconds(kLargest), 1us)},
    };
    for (const auto& [arguments, expected] : cases) {
        const std::optional<Request> parsed = Parse(arguments);
        ASSERT_TRUE(parsed.has_value()) << testing::PrintToString(arguments) << ": "
                                        << ParseArguments(arguments).problem;
        EXPECT_TRUE(*parsed == expected) << testing::PrintToString(arguments);
    }
}

TEST(SetClockRequest, RefusesWhatIsMalformedAndSaysWhy)
{
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
        {{}, "got none"},
        {{"1", "2"}, "got 2 arguments"},
        {{"-5"}, "only the digits 0-9"},
        {{"1e9"}, "only the digits 0-9"},
        {{"--steps", "+1"}, "got 2 arguments"},
        {{"--step"}, "--step takes one offset, such as +0.250 or -12, got 0"},
        {{"--step", "+1", "+2"}, "got 2"},
        {{"--slew"}, "--slew takes one offset"},
        {{"--step", "0.25"}, "'0.25' is not an offset: a sign"},
        {{"--step", "1"}, "is not an offset"},
        {{"--step", "+"}, "is not an offset"},
        {{"--step", "-"}, "is not an offset"},
        {{"--step", "+.5"}, "is not an offset"},
        {{"--step", "+1."}, "is not an offset"},
        {{"--step", "+1.5.0"}, "is not an offset"},
        {{"--step", "+1.1234567890"}, "at most nine digits"},
        {{"--step", "++1"}, "is not an offset"},
        {{"--step", "+-1"}, "is not an offset"},
        {{"--step", "+ 1"}, "is not an offset"},
        {{"--step", "+1 "}, "is not an offset"},
        {{"--step", "+0x10"}, "is not an offset"},
        {{"--step", "+1e3"}, "is not an offset"},
        {{"--slew", "+0,5"}, "is not an offset"},
        {{"--slew", "-1\n2"}, "'-1?2' is not an offset"},
        {{"--slew", ""}, "is not an offset"},
        {{"--synchronised", "1"}, "got 1 arguments"},
        {{"--synchronised", "1", "2", "3"}, "got 3 arguments"},
        {{"--synchronised", "-1", "0"}, "'-1' is not a count of microseconds"},
        {{"--synchronised", "100", "+5"}, "'+5' is not a count of microseconds"},
        {{"--synchronised", "100", ""}, "is not a count of microseconds"},
        {{"--synchronised", "1.5", "1"}, "is not a count of microseconds"},
    };
    for (const auto& [arguments, reason] : cases) {
        const setclock::Parsed parsed = ParseArguments(arguments);
        EXPECT_FALSE(parsed.request.has_value()) << testing::PrintToString(arguments);
        EXPECT_THAT(parsed.problem, testing::HasSubstr(reason)) << testing::PrintToString(arguments);
        EXPECT_EQ(parsed.problem.find('\n'), std::string::npos);
    }
}

TEST(SetClockRequest, KeepsEachKindWithinItsBounds)
{
    const nanoseconds now = std::chrono::seconds(platform::EarliestSettableSecond() + 86400);
    const nanoseconds toLatest = std::chrono::seconds(platform::kLatestSettableSecond) - now;
    const nanoseconds toEarliest = std::chrono::seconds(platform::EarliestSettableSecond()) - now;
    const std::vector<std::pair<Request, bool>> cases = {
        {Make(Kind::SetTo, platform::EarliestSettableSecond(), 0ns), true},
        {Make(Kind::SetTo, platform::EarliestSettableSecond() - 1, 0ns), false},
        {Make(Kind::SetTo, kLargest, 0ns), false},
        {Make(Kind::StepBy, 0, 0ns), true},
        {Make(Kind::StepBy, 0, toLatest + 999'999'999ns), true}, // still within the last second
        {Make(Kind::StepBy, 0, toLatest + 1s), false},
        {Make(Kind::StepBy, 0, toEarliest), true},
        {Make(Kind::StepBy, 0, toEarliest - 1ns), false},
        {Make(Kind::StepBy, 0, nanoseconds(kLargest)), false},
        {Make(Kind::StepBy, 0, nanoseconds(-kLargest)), false},
        {Make(Kind::SlewBy, 0, 500ms), true},
        {Make(Kind::SlewBy, 0, -500ms), true},
        {Make(Kind::SlewBy, 0, 500ms + 1ns), false},
        {Make(Kind::SlewBy, 0, -500ms - 1ns), false},
        {Make(Kind::MarkSynchronised, 0, 0ns, 16s, 16s), true},
        {Make(Kind::MarkSynchronised, 0, 0ns, 16s + 1us, 0us), false},
        {Make(Kind::MarkSynchronised, 0, 0ns, 100us, 101us), false},
        {Make(Kind::MarkSynchronised, 0, 0ns, 100us, -1us), false},
        {Make(Kind::MarkSynchronised, 0, 0ns, microseconds(kLargest), 0us), false},
    };
    for (const auto& [request, within] : cases) {
        EXPECT_EQ(setclock::IsWithinRange(request, now), within)
            << static_cast<int>(request.kind) << " " << request.seconds << " " << request.offset.count() << " "
            << request.maxError.count() << " " << request.estError.count();
    }
    // A clock far out of range may still be stepped back into it, and not further out.
    const nanoseconds beyond = std::chrono::seconds(platform::kLatestSettableSecond + 1'000'000'000);
    EXPECT_TRUE(setclock::IsWithinRange(Make(Kind::StepBy, 0, -1'000'000'000s), beyond));
    EXPECT_FALSE(setclock::IsWithinRange(Make(Kind::StepBy, 0, nanoseconds(kLargest)), beyond));
}

TEST(SetClockRequest, WhatTheProgramWritesTheHelperReadsBack)
{
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> offsets(-kLargest / 2, kLargest / 2);
    std::uniform_int_distribution<std::int64_t> smallOffsets(-2'000'000'000, 2'000'000'000);
    std::uniform_int_distribution<std::int64_t> seconds(0, platform::kLatestSettableSecond * 2);
    std::uniform_int_distribution<std::int64_t> errors(0, 20'000'000);
    for (int round = 0; round < 2000; ++round) {
        const nanoseconds offset(round % 2 == 0 ? offsets(random) : smallOffsets(random));
        for (const Request& request :
             {Make(Kind::SetTo, seconds(random), 0ns), Make(Kind::StepBy, 0, offset), Make(Kind::SlewBy, 0, offset),
              Make(Kind::MarkSynchronised, 0, 0ns, microseconds(errors(random)), microseconds(errors(random)))}) {
            const std::vector<std::string> written = ArgumentsFor(request);
            const std::optional<Request> read = Parse({written.begin(), written.end()});
            ASSERT_TRUE(read.has_value()) << testing::PrintToString(written);
            EXPECT_TRUE(*read == request) << testing::PrintToString(written);
        }
    }
    EXPECT_EQ(setclock::OffsetText(-250ms), "-0.250000000");
    EXPECT_EQ(setclock::OffsetText(1s + 5ns), "+1.000000005");
}
