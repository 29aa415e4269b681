// What a valid time code does to the PC clock, and how the keeper reports it to its face
// and the log: nothing while the offset's bound holds zero, a step or a slew otherwise, the
// step limit, every outcome of the setter, and one correction within a read.
//
// The fake clock stands still while a reply is answered, so an exchange's round trip is
// nil and a reply bounds the offset to (pc - S - 1 s, pc - S]: the estimate is half a second
// below what the PC read past the second, give or take half a second.

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
using namespace std::chrono_literals;

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
        clock.Set(12, 0, 5);
    }

    // The server's second `second`, answered while the PC reads `pcPastIt` past kNoon.
    void AnswerAt(std::chrono::milliseconds pcPastIt, std::int64_t second = kNoon)
    {
        clock.SetUtc(kNoon);
        clock.utcNow += pcPastIt;
        Answer(Reply(second));
    }

    std::string Panel() const { return face.Status(); }
    std::string Tip() const { return face.results.empty() ? std::string() : face.results.back().line; }
};

TEST_F(ClockKeeping, TheClockIsLeftAloneWhileTheBoundHoldsZeroAndStepsToTheEstimateOtherwise)
{
    struct Edge {
        std::chrono::milliseconds pcPastTheSecond;
        std::optional<std::chrono::milliseconds> step; // by how much, to the millisecond
    };
    for (const Edge edge : {Edge{-1ms, 501ms}, Edge{0ms, {}}, Edge{300ms, {}}, Edge{999ms, {}}, Edge{1001ms, -501ms},
                            Edge{1200ms, -700ms}, Edge{-3000ms, 3500ms}}) {
        SCOPED_TRACE(edge.pcPastTheSecond.count());
        MakeKeeper(); // an estimate of its own
        clockSetter.ForgetSteps();
        AnswerAt(edge.pcPastTheSecond);
        if (edge.step) {
            ASSERT_EQ(clockSetter.steps.size(), 1u);
            EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(clockSetter.steps[0]), *edge.step);
        } else {
            EXPECT_TRUE(clockSetter.steps.empty());
        }
        EXPECT_TRUE(clockSetter.set.empty()); // never to a whole second
        EXPECT_THAT(Panel(), testing::StartsWith("Last Update: "));
        ExpectBadge(1, 2);
    }
}

// Two replies that together leave the PC between 100 and 300 ms ahead: too little to step,
// so the clock is slewed; the next reply learns how much of the slew the kernel worked in.
TEST_F(ClockKeeping, ASmallOffsetOutsideTheBoundIsSlewedAndTheSlewCountsAtTheNextReply)
{
    AnswerAt(300ms); // (-0.7 s, +0.3 s]: nothing known to be wrong
    EXPECT_TRUE(clockSetter.slews.empty());
    AnswerAt(1100ms); // (+0.1 s, +1.1 s]: together (+0.1 s, +0.3 s]
    ASSERT_EQ(clockSetter.slews.size(), 1u);
    EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(clockSetter.slews[0]), -200ms);
    EXPECT_EQ(Tip(), "Last update 12:00:05: offset +200 ms \u00B1 100 ms, slewing");
    EXPECT_EQ(keeper->State().slews, 1u);

    // Half of it is in when the next reply comes: that reply, read as if nothing moved,
    // finds the clock where the slew put it, and the estimate agrees.
    clockSetter.slewLeft = std::chrono::microseconds(-100'000);
    AnswerAt(1000ms); // the PC read 100 ms less: (0, +1.0 s] shifted back by the slew's part
    EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(keeper->State().offset), 100ms);
    EXPECT_LE(keeper->State().errorBound, 101ms);
    // What is left of the slew takes the rest in: nothing new is asked, and the tip says
    // that the slew goes on.
    EXPECT_EQ(clockSetter.slews.size(), 1u);
    EXPECT_THAT(Tip(), testing::EndsWith(", slewing"));
}

TEST_F(ClockKeeping, TheTipGivesTheOffsetOrTheStep)
{
    AnswerAt(300ms);
    EXPECT_EQ(Tip(), "Last update 12:00:05: offset -200 ms \u00B1 500 ms");
    MakeKeeper();
    AnswerAt(-3000ms);
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock stepped by +3.5 s (\u00B1 500 ms)");
    MakeKeeper();
    AnswerAt(2500ms);
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock stepped by -2.0 s (\u00B1 500 ms)");
    EXPECT_FALSE(face.errorFace);
}

TEST_F(ClockKeeping, ARefusalIsShownAsSuchAndTheBadgeStillSpeaksOfTheServer)
{
    clockSetter.answer = {Outcome::Refused, "no permission"};
    clock.SetUtc(kNoon - 10);
    Answer(Reply(kNoon, "0042", '3', '1'));

    EXPECT_EQ(clockSetter.steps.size(), 1u);
    EXPECT_EQ(Panel(), "Clock not set: no permission (see README)");
    EXPECT_TRUE(face.errorFace);
    EXPECT_EQ(face.results, std::vector<Result>({{"Clock not set: no permission", true}}));
    ExpectBadge(3, 1);
    EXPECT_EQ(keeper->FEchoCode, 42);

    // Refused again at the next reply: the face hears of no new result.
    face.errorFace = false;
    Answer(Reply(kNoon));
    EXPECT_EQ(face.results.size(), 1u);
    EXPECT_TRUE(face.errorFace);

    // Once the clock can be set, the words say so; the face is the request cycle's to clear.
    clockSetter.answer = {Outcome::Set, {}};
    Answer(Reply(kNoon));
    EXPECT_THAT(Panel(), testing::StartsWith("Last Update: "));
    EXPECT_EQ(face.results.back(), (Result{"Last update 12:00:05: clock stepped by +10.5 s (\u00B1 500 ms)", false}));
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
        MakeKeeper();
        clockSetter.answer = c.answer;
        clock.SetUtc(kNoon - 100);
        Answer(Reply(c.second));
        EXPECT_THAT(Panel(), HasSubstr(c.panel));
        EXPECT_TRUE(face.errorFace) << c.panel;
    }

    // A second beyond what the clock can hold is out of range before any setter is asked.
    MakeKeeper();
    clockSetter.ForgetSteps();
    Answer(Reply(253'402'300'799));
    EXPECT_THAT(Panel(), HasSubstr("is after 2200-01-01"));
    EXPECT_TRUE(clockSetter.steps.empty());

    MakeKeeper();
    face.errorFace = false;
    clockSetter.answer = {Outcome::DryRun, {}};
    AnswerAt(0ms, kNoon - 5);
    EXPECT_THAT(Panel(), testing::AllOf(testing::StartsWith("Last Update: "), testing::EndsWith(" (dry run)")));
    EXPECT_EQ(Tip(), "Last update 12:00:05: clock not stepped by -4.5 s (dry run)");
    EXPECT_FALSE(face.errorFace);
}

TEST_F(ClockKeeping, TheStepLimitRefusesFarTimesOnlyAndItsWordsNeverPutThemWithinIt)
{
    struct Case {
        std::uint32_t limit;              // seconds
        std::chrono::milliseconds offset; // the estimate: the PC's time minus the server's
        const char* distance;             // as the refusal gives it; none: stepped
    };
    constexpr std::chrono::milliseconds kYear{31'557'600'000};
    const Case cases[] = {
        {1, -999ms, nullptr},
        {1, -1000ms, nullptr}, // at the limit
        {1, -1001ms, "1.1 s"}, // just past it: never "1 s"
        {1, 2640ms, "2.7 s"},
        {1, -2000ms, "2 s"},
        {3600, -3'600'000ms, nullptr},
        {3600, 3'600'000ms, nullptr},
        {3600, 3'601'000ms, "3601 s"}, // never "60 minutes"
        {3600, -7'201'000ms, "2 hours"},
        {3600, -(3 * kYear + 100'000ms), "3 years"},
        {150, -170'000ms, "170 s"}, // never "2 minutes"
        {150, -240'000ms, "4 minutes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset.count()) + " ms against " + std::to_string(c.limit) + " s");
        MakeKeeper({.maxStepSeconds = c.limit});
        clockSetter.ForgetSteps();
        face.errorFace = false;
        AnswerAt(c.offset + 500ms); // the estimate lies half a second below the reading
        if (c.distance) {
            EXPECT_TRUE(clockSetter.steps.empty());
            EXPECT_EQ(Panel(), std::string("Clock not set: the server's time is ") + c.distance + " away (limit "
                                   + std::to_string(c.limit) + " s)");
            EXPECT_TRUE(face.errorFace);
        } else {
            EXPECT_EQ(clockSetter.steps.size(), 1u);
        }
    }
}

TEST_F(ClockKeeping, WithoutAStepLimitAnyDistanceIsStepped)
{
    ASSERT_EQ(keeper->Settings().maxStepSeconds, 0u);
    AnswerAt(0ms, kNoon + 3 * 31'557'600LL);
    EXPECT_EQ(clockSetter.steps.size(), 1u);
}

TEST_F(ClockKeeping, WithinOneReadTheClockIsCorrectedOnceButEveryFrameCounts)
{
    clockSetter.answer = {Outcome::Refused, "no permission"};
    clock.SetUtc(kNoon - 10);
    Answer(Reply(kNoon, "0001") + Reply(kNoon, "0002") + "{TAVRIN_}{TAVRIN_ no fields}" + Reply(kNoon + 1, "0003"));
    EXPECT_EQ(clockSetter.steps.size(), 1u);
    EXPECT_EQ(keeper->FEchoCode, 3);
    EXPECT_EQ(face.timeCodesTaken, 5);
    // The invalid frame's words gave way to the refusal again.
    EXPECT_EQ(Panel(), "Clock not set: no permission (see README)");

    // The next read tries again.
    Answer(Reply(kNoon) + Reply(kNoon + 1));
    EXPECT_EQ(clockSetter.steps.size(), 2u);
}

TEST_F(ClockKeeping, EveryChangeOrRefusalIsLoggedAndARightClockOnlyAtDebugLevel)
{
    const testsupport::LogLines log("tavrin.sync", testsupport::LogLines::Debug::On);
    clock.SetUtc(kNoon - 3, 500);
    Answer(Reply(kNoon));
    MakeKeeper();
    clock.SetUtc(kNoon, 250);
    Answer(Reply(kNoon));
    MakeKeeper();
    clockSetter.answer = {Outcome::Refused, "no permission"};
    clock.SetUtc(kNoon + 10);
    Answer(Reply(kNoon) + Reply(kNoon));

    const std::vector<testsupport::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].type, QtInfoMsg);
    EXPECT_EQ(lines[0].text, "clock stepped by +3.000000 s from 2008-05-21 11:59:57.500 UTC (offset -3.000000 s "
                             "\u00B1 0.500000 s; server 127.0.0.1, source GPS, state 2)");
    EXPECT_EQ(lines[1].type, QtDebugMsg);
    EXPECT_EQ(lines[1].text, "clock right at 2008-05-21 12:00:00.250 UTC (offset -0.250000 s \u00B1 0.500000 s; "
                             "server 127.0.0.1, source GPS, state 2)");
    EXPECT_EQ(lines[2].type, QtWarningMsg);
    EXPECT_EQ(lines[2].text, "clock not set: no permission; it stays at 2008-05-21 12:00:10.000 UTC, the server "
                             "said 2008-05-21 12:00:00 UTC (offset +9.500000 s \u00B1 0.500000 s; server 127.0.0.1, "
                             "source GPS, state 2)");
}

// What the service publishes and counts: one table of replies and what each leaves behind.
TEST_F(ClockKeeping, TheStateFollowsEveryUpdateAndCountsItsOutcomes)
{
    struct Step {
        std::chrono::milliseconds pcPastTheSecond;
        ClockSetResult answer;
        bool updated; // the last update is now
        std::uint64_t steps, notSet;
        std::chrono::milliseconds offset; // the estimate, when updated
    };
    const Step steps[] = {
        {500ms, {Outcome::Set, {}}, true, 0, 0, 0ms},       // right: not stepped
        {-3000ms, {Outcome::Set, {}}, true, 1, 0, -3500ms}, // stepped
        {-3000ms, {Outcome::Refused, "no permission"}, false, 0, 1, 0ms},
        {-3000ms, {Outcome::DryRun, {}}, true, 0, 0, -3500ms}, // a dry run steps nothing
    };
    for (const Step& step : steps) {
        MakeKeeper();
        clockSetter.answer = step.answer;
        clock.SetUtc(kNoon);
        clock.utcNow += step.pcPastTheSecond;
        Answer(Reply(kNoon, "0042", '3', '1'));
        const keeper::KeeperState& state = keeper->State();
        EXPECT_EQ(state.lastUpdate.has_value(), step.updated) << step.pcPastTheSecond.count();
        EXPECT_EQ(state.steps, step.steps);
        EXPECT_EQ(state.clockNotSet, step.notSet);
        EXPECT_EQ(state.source, 3);
        EXPECT_EQ(state.state, 1);
        EXPECT_EQ(state.lastResult, Tip());
        EXPECT_EQ(state.failing, !step.answer.Succeeded());
        if (step.updated) {
            EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(state.offset), step.offset);
            EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(state.errorBound), 500ms);
        }
    }
    // Every update that left the clock right told the kernel so, a dry run's included, with
    // the bound as its errors.
    ASSERT_EQ(clockSetter.marks.size(), 3u);
    EXPECT_NEAR(static_cast<double>(clockSetter.marks[0].first.count()), 500'000, 5);
    EXPECT_EQ(clockSetter.marks[0].first, clockSetter.marks[0].second);
}
