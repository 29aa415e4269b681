// What a valid time code does to the PC clock, and how the keeper reports it to its face
// and the log: no step when the PC already reads the second, the step limit, every outcome
// of the setter, and one set per second within a read.

#include "platform/clock_range.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/log_lines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using platform::ClockSetResult;
using Outcome = platform::ClockSetResult::Outcome;
using testing::HasSubstr;
using testsupport::KeeperTest;
using Result = testsupport::RecordingFace::Result;

namespace {

constexpr std::int64_t kNoon = 1211371200; // 2008-05-21 12:00:00 UTC

std::string Reply(std::int64_t second, const std::string& echo = "0042", char source = '1', char state = '2')
{
    return std::string("{TAVRIN_") + source + ",0," + state + "," + echo + std::to_string(second) + "}";
}

} // namespace

class ClockKeeping : public KeeperTest {
protected:
    void SetUp() override
    {
        KeeperTest::SetUp();
        AwaitReply();
        clock.Set(12, 0, 5);
    }

    std::string Panel() const { return face.Status(); }
    std::string Tip() const { return face.results.empty() ? std::string() : face.results.back().line; }
};

TEST_F(ClockKeeping, APcClockThatReadsTheSecondOrJustPastItIsLeftAlone)
{
    struct Edge {
        int pcMilliseconds; // the PC's reading, relative to the server's second
        bool stepped;
    };
    // Just past the second: the frame's way from the server took the second's end with it.
    for (const Edge edge :
         {Edge{-1, true}, Edge{0, false}, Edge{999, false}, Edge{1000, false}, Edge{1199, false}, Edge{1200, true}}) {
        clockSetter.set.clear();
        clock.SetUtc(kNoon, 0);
        clock.utcNow += std::chrono::milliseconds(edge.pcMilliseconds);
        keeper->SplitTimeReply(Reply(kNoon));
        EXPECT_EQ(clockSetter.set.size(), edge.stepped ? 1u : 0u) << edge.pcMilliseconds;
        EXPECT_THAT(Panel(), testing::StartsWith("Last Update: ")) << edge.pcMilliseconds;
        ExpectBadge(1, 2);
    }
}

TEST_F(ClockKeeping, TheTipGivesTheOffsetOrTheStep)
{
    clock.SetUtc(kNoon, 300);
    keeper->SplitTimeReply(Reply(kNoon));
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock right (offset +0.3 s)");

    clock.SetUtc(kNoon - 3);
    keeper->SplitTimeReply(Reply(kNoon));
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock stepped by +3 s");

    clock.SetUtc(kNoon + 2, 500);
    keeper->SplitTimeReply(Reply(kNoon));
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock stepped by -2.5 s");
    EXPECT_FALSE(face.errorFace);
}

TEST_F(ClockKeeping, ARefusalIsShownAsSuchAndTheBadgeStillSpeaksOfTheServer)
{
    clockSetter.answer = {Outcome::Refused, "no permission"};
    keeper->SplitTimeReply(Reply(kNoon, "0042", '3', '1'));

    EXPECT_EQ(clockSetter.set.size(), 1u);
    EXPECT_EQ(Panel(), "Clock not set: no permission (see README)");
    EXPECT_TRUE(face.errorFace);
    EXPECT_EQ(face.results, std::vector<Result>({{"Clock not set: no permission", true}}));
    ExpectBadge(3, 1);
    EXPECT_EQ(keeper->FEchoCode, 42);

    // Refused again at the next reply: the face hears of no new result.
    face.errorFace = false;
    keeper->SplitTimeReply(Reply(kNoon + 300));
    EXPECT_EQ(face.results.size(), 1u);
    EXPECT_TRUE(face.errorFace);

    // Once the clock can be set, the words say so; the face is the request cycle's to clear.
    clockSetter.answer = {Outcome::Set, {}};
    clock.SetUtc(kNoon + 590);
    keeper->SplitTimeReply(Reply(kNoon + 600));
    EXPECT_THAT(Panel(), testing::StartsWith("Last Update: "));
    EXPECT_EQ(face.results.back(), (Result{"Last update 12:00:05: clock stepped by +10 s", false}));
}

TEST_F(ClockKeeping, EachOutcomeHasItsOwnWords)
{
    struct Case {
        ClockSetResult answer;
        std::int64_t second;
        std::string panel;
    };
    const std::int64_t earliest = platform::EarliestSettableSecond();
    const std::vector<Case> cases = {
        {{Outcome::HelperMissing, {}}, kNoon, "Clock not set: tavrin-set-clock not found (see README)"},
        {{Outcome::Refused, "no permission to run tavrin-set-clock"},
         kNoon,
         "Clock not set: no permission to run tavrin-set-clock (see README)"},
        {{Outcome::HelperFailed, "it did not finish within 1000 ms and was stopped"},
         kNoon,
         "Clock not set: tavrin-set-clock failed: it did not finish within 1000 ms and was stopped"},
        {{Outcome::OutOfRange, {}},
         0,
         "Clock not set: the server's time 1970-01-01 00:00:00 UTC is before this program was built"},
        {{Outcome::OutOfRange, {}}, earliest - 1, "is before this program was built"},
        {{Outcome::OutOfRange, {}},
         7258118401,
         "Clock not set: the server's time 2200-01-01 00:00:01 UTC is after 2200-01-01"},
    };
    for (const Case& c : cases) {
        clockSetter.answer = c.answer;
        keeper->SplitTimeReply(Reply(c.second));
        EXPECT_THAT(Panel(), HasSubstr(c.panel));
        EXPECT_TRUE(face.errorFace) << c.panel;
    }

    face.errorFace = false;
    clockSetter.answer = {Outcome::DryRun, {}};
    clock.SetUtc(kNoon);
    keeper->SplitTimeReply(Reply(kNoon - 5));
    EXPECT_THAT(Panel(), testing::AllOf(testing::StartsWith("Last Update: "), testing::EndsWith(" (dry run)")));
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock not stepped by -5 s (dry run)");
    EXPECT_FALSE(face.errorFace);
}

TEST_F(ClockKeeping, TheStepLimitRefusesFarTimesOnlyAndItsWordsNeverPutThemWithinIt)
{
    struct Case {
        std::uint32_t limit;         // seconds
        std::int64_t pcMilliseconds; // the PC's reading, from the server's second
        const char* distance;        // as the refusal gives it; none: stepped
    };
    constexpr std::int64_t kYear = 31'557'600'000;
    const Case cases[] = {
        {1, -999, nullptr},
        {1, -1000, nullptr}, // at the limit
        {1, -1001, "1.1 s"}, // just past it: never "1 s"
        {1, 2640, "2.7 s"},
        {1, -2000, "2 s"},
        {3600, -3'600'000, nullptr},
        {3600, 3'600'000, nullptr},
        {3600, 3'601'000, "3601 s"}, // never "60 minutes"
        {3600, -7'201'000, "2 hours"},
        {3600, -(3 * kYear + 100'000), "3 years"},
        {150, -170'000, "170 s"}, // never "2 minutes"
        {150, -240'000, "4 minutes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pcMilliseconds) + " ms against " + std::to_string(c.limit) + " s");
        MakeKeeper({.maxStepSeconds = c.limit});
        AwaitReply();
        clockSetter.set.clear();
        face.errorFace = false;
        clock.SetUtc(kNoon);
        clock.utcNow += std::chrono::milliseconds(c.pcMilliseconds);
        keeper->SplitTimeReply(Reply(kNoon));
        if (c.distance) {
            EXPECT_TRUE(clockSetter.set.empty());
            EXPECT_EQ(Panel(), std::string("Clock not set: the server's time is ") + c.distance + " away (limit "
                                   + std::to_string(c.limit) + " s)");
            EXPECT_TRUE(face.errorFace);
        } else {
            EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({kNoon}));
        }
    }
}

TEST_F(ClockKeeping, WithoutAStepLimitAnyDistanceIsStepped)
{
    ASSERT_EQ(keeper->Settings().maxStepSeconds, 0u);
    clock.SetUtc(kNoon);
    keeper->SplitTimeReply(Reply(kNoon + 3 * 31'557'600LL));
    EXPECT_EQ(clockSetter.set.size(), 1u);
}

TEST_F(ClockKeeping, WithinOneReadASecondIsSetOnceButEveryFrameCounts)
{
    clockSetter.answer = {Outcome::Refused, "no permission"};
    keeper->SplitTimeReply(Reply(kNoon, "0001") + Reply(kNoon, "0002") + "{abc}{no marker}" + Reply(kNoon, "0003"));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({kNoon}));
    EXPECT_EQ(keeper->FEchoCode, 3);
    EXPECT_EQ(face.timeCodesTaken, 5);
    // The invalid frame's words gave way to the refusal again.
    EXPECT_EQ(Panel(), "Clock not set: no permission (see README)");

    // Another second in the same read, and the same second in the next read, are tried.
    keeper->SplitTimeReply(Reply(kNoon) + Reply(kNoon + 1));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({kNoon, kNoon, kNoon + 1}));
}

TEST_F(ClockKeeping, EveryChangeOrRefusalIsLoggedAndARightClockOnlyAtDebugLevel)
{
    const testsupport::LogLines log("tavrin.sync", testsupport::LogLines::Debug::On);
    clock.SetUtc(kNoon - 3, 500);
    keeper->SplitTimeReply(Reply(kNoon));
    clock.SetUtc(kNoon, 250);
    keeper->SplitTimeReply(Reply(kNoon));
    clockSetter.answer = {Outcome::Refused, "no permission"};
    clock.SetUtc(kNoon + 10);
    keeper->SplitTimeReply(Reply(kNoon) + Reply(kNoon));

    const std::vector<testsupport::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].type, QtInfoMsg);
    EXPECT_EQ(lines[0].text, "clock stepped by +2.500 s from 2008-05-21 11:59:57.500 UTC to 2008-05-21 "
                             "12:00:00.000 UTC (offset -2.500 s; server 127.0.0.1, source GPS, state 2)");
    EXPECT_EQ(lines[1].type, QtDebugMsg);
    EXPECT_EQ(lines[1].text, "clock right at 2008-05-21 12:00:00.250 UTC (offset +0.250 s; server 127.0.0.1, "
                             "source GPS, state 2)");
    EXPECT_EQ(lines[2].type, QtWarningMsg);
    EXPECT_EQ(lines[2].text, "clock not set: no permission; it stays at 2008-05-21 12:00:10.000 UTC, the server "
                             "said 2008-05-21 12:00:00.000 UTC (offset +10.000 s; server 127.0.0.1, source GPS, "
                             "state 2)");
}

// What the service publishes and counts: one table of replies and what each leaves behind.
TEST_F(ClockKeeping, TheStateFollowsEveryUpdateAndCountsItsOutcomes)
{
    struct Step {
        std::int64_t pcSecond; // the PC's reading when the reply is applied
        ClockSetResult answer;
        bool updated; // the last update moves to now
        std::uint64_t steps, notSet;
    };
    const Step steps[] = {
        {kNoon, {Outcome::Set, {}}, true, 0, 0},     // right: not stepped
        {kNoon - 3, {Outcome::Set, {}}, true, 1, 0}, // stepped
        {kNoon - 3, {Outcome::Refused, "no permission"}, false, 1, 1},
        {kNoon - 3, {Outcome::DryRun, {}}, true, 1, 1}, // a dry run steps nothing
    };
    for (const Step& step : steps) {
        clock.SetUtc(step.pcSecond);
        clockSetter.answer = step.answer;
        const auto before = keeper->State().lastUpdate;
        keeper->SplitTimeReply(Reply(kNoon, "0042", '3', '1'));
        const keeper::KeeperState& state = keeper->State();
        EXPECT_EQ(state.lastUpdate != before, step.updated) << step.pcSecond;
        EXPECT_EQ(state.steps, step.steps);
        EXPECT_EQ(state.clockNotSet, step.notSet);
        EXPECT_EQ(state.source, 3);
        EXPECT_EQ(state.state, 1);
        EXPECT_EQ(state.lastResult, Tip());
        EXPECT_EQ(state.failing, !step.answer.Succeeded());
        if (step.updated) {
            EXPECT_EQ(state.offset, std::chrono::seconds(step.pcSecond - kNoon));
        }
    }
    // Every update that left the clock right told the kernel so, a dry run's included.
    EXPECT_EQ(clockSetter.marks.size(), 3u);
}
