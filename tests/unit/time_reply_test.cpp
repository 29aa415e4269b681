#include "framework/date_time.h"
#include "tests/support/keeper_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using testsupport::KeeperTest;

namespace {

constexpr std::int64_t k21May2008Noon = 1211371200;

std::string Frame(const std::string& code)
{
    return "{" + code + "}";
}

// A code with the fields at their places, separated by commas as the server writes them.
std::string Code(char source, char state, const std::string& echo, const std::string& seconds)
{
    return std::string("TAVRIN_") + source + ",0," + state + "," + echo + seconds;
}

} // namespace

class TimeReply : public KeeperTest {
protected:
    void SetUp() override
    {
        KeeperTest::SetUp();
        clock.SetUtc(0);
        AwaitReply();
    }

    void TearDown() override { SetTimeZone(nullptr); }

    static void SetTimeZone(const char* zone)
    {
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

TEST_F(TimeReply, TheExampleFrameSetsTheClockAndShowsGpsOnLime)
{
    clock.Set(12, 34, 56, 2008, 5, 20);
    const framework::TDateTime before = framework::EncodeDateTime(clock.Now());

    keeper->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")));

    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({k21May2008Noon}));
    EXPECT_EQ(keeper->FEchoCode, 42);
    EXPECT_EQ(keeper->FTimeSource, 1);
    EXPECT_EQ(keeper->FSyncState, 2);
    ExpectBadge(1, 2);
    // The text shows the PC's time from before the clock was set.
    EXPECT_EQ(face.Status(), "Last Update: " + framework::FormatDateTime("hh:nn:ss", before) + " "
                                 + framework::FormatDateTime("ddd dd mmm yyyy", before));
    EXPECT_EQ(keeper->FRequestText, ""); // taken at the next fetch
}

TEST_F(TimeReply, EveryCodeRunsOneClockTick)
{
    const int countdown = keeper->SecondsToNextFetch();
    keeper->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")) + Frame("TAVRIN_ no fields"));
    EXPECT_EQ(face.timeCodesTaken, 2);
    EXPECT_EQ(keeper->SecondsToNextFetch(), countdown); // the schedule is not the display's
}

TEST_F(TimeReply, NextRequestEchoesTheCode)
{
    for (const auto& [field, request] : std::vector<std::pair<std::string, std::string>>{
             {"0042", "0042TavrinClient1010"}, {"0007", "0007TavrinClient1010"}, {" -12", "000-12TavrinClient1010"}}) {
        keeper->SplitTimeReply(Frame(Code('1', '2', field, "1211371200")));
        keeper->FetchTimeAndDate();
        EXPECT_EQ(keeper->FRequestText, request);
    }
}

TEST_F(TimeReply, PcClockAsSourceIsAlwaysInSync)
{
    keeper->SplitTimeReply(Frame(Code('0', '0', "0001", "1211371200")));
    ExpectBadge(0, 2);
    EXPECT_EQ(keeper->FSyncState, 2);
}

TEST_F(TimeReply, UnknownSourcesAndStatesGoToTheBadgeAsTheyCame)
{
    keeper->SplitTimeReply(Frame(Code('2', '1', "0001", "1211371200")));
    ExpectBadge(2, 1);
    for (char state = '4'; state <= '9'; ++state) {
        keeper->SplitTimeReply(Frame(Code('1', state, "0001", "1211371200")));
        ExpectBadge(1, state - '0');
    }
}

TEST_F(TimeReply, TwoFramesInOneReadApplyInOrder)
{
    keeper->SplitTimeReply(Frame(Code('1', '0', "0011", "1211371200")) + Frame(Code('3', '2', "0022", "1211371260")));
    // The first frame corrects the clock; the second arrived before that and moves nothing.
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({k21May2008Noon}));
    EXPECT_EQ(keeper->FEchoCode, 22);
    ExpectBadge(3, 2);
}

TEST_F(TimeReply, AReadWithAnythingButFramesDropsTheWholeRead)
{
    for (const std::string& read : {std::string("{ab}") + Frame(Code('1', '2', "0042", "1211371200")),
                                    std::string("}") + Frame(Code('1', '2', "0042", "1211371200")),
                                    std::string("{TAVRIN_1,0,2,00421211371200")}) {
        keeper->SplitTimeReply(read);
        EXPECT_TRUE(clockSetter.steps.empty()) << read;
    }
    EXPECT_EQ(face.timeCodesTaken, 0); // no code reached, no tick
    EXPECT_EQ(keeper->FEchoCode, 9999);
}

TEST_F(TimeReply, ACharacterBetweenFramesDropsBoth)
{
    keeper->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")) + "x"
                           + Frame(Code('3', '0', "0043", "1211371200")));
    EXPECT_TRUE(clockSetter.steps.empty()); // not even the first
}

TEST_F(TimeReply, AFractionIsCutOff)
{
    keeper->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371260.9")));
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({k21May2008Noon + 60}));
}

TEST_F(TimeReply, TheMarkerMustOpenTheCode)
{
    keeper->SplitTimeReply(Frame("xxxxxxx1,0,2,0042" + std::to_string(k21May2008Noon) + "TAVRIN_"));
    EXPECT_EQ(keeper->FEchoCode, 9999);
    EXPECT_TRUE(clockSetter.steps.empty());
}

TEST_F(TimeReply, WithoutTheMarkerNothingIsTaken)
{
    keeper->ApplyTimeCode("TAVRIX_1,0,2,00421211371200"); // a reply would be closed at "X" already
    EXPECT_EQ(keeper->FEchoCode, 9999);
    EXPECT_TRUE(clockSetter.steps.empty());
    EXPECT_EQ(face.Status(), "Invalid Time Code Supplied");
    ExpectUnknownBadge();
}

TEST_F(TimeReply, ACodeWithoutATimeKeepsItsFieldsButSetsNoClock)
{
    keeper->SplitTimeReply(Frame(Code('3', '1', "0042", "")));
    EXPECT_EQ(keeper->FEchoCode, 42);
    EXPECT_EQ(keeper->FSyncState, 1);
    EXPECT_EQ(keeper->FTimeSource, 3);
    EXPECT_TRUE(clockSetter.steps.empty());
    ExpectUnknownBadge();
    EXPECT_EQ(face.Status(), "Invalid Time Code Supplied");
}

TEST_F(TimeReply, AFailingFieldKeepsWhatCameBefore)
{
    keeper->SplitTimeReply(Frame("TAVRIN_1,x,2,00421211371200")); // position 10 is not a digit
    EXPECT_EQ(keeper->FEchoCode, 42);
    EXPECT_EQ(keeper->FSyncState, 0);
    EXPECT_TRUE(clockSetter.steps.empty());
    keeper->SplitTimeReply(Frame("TAVRIN_x,0,2,00071211371200")); // the source is read last
    EXPECT_EQ(keeper->FEchoCode, 7);
    EXPECT_EQ(keeper->FSyncState, 2);
    EXPECT_EQ(keeper->FTimeSource, 0);
    EXPECT_TRUE(clockSetter.steps.empty());
}

TEST_F(TimeReply, CountsPast2038AreSetWithoutWrapping)
{
    SetTimeZone("UTC0");
    for (const char* second : {"2147483648", "4102444800"}) {
        MakeKeeper();
        Answer(Frame(Code('1', '2', "0042", second)));
    }
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({2147483648LL, 4102444800LL}));
}

TEST_F(TimeReply, CountsFrom1970To9999UtcAreTakenTheSameInEveryTimeZone)
{
    // Honolulu is behind UTC, Tokyo ahead: the edges must not move with the zone.
    for (const char* zone : {"UTC0", "Asia/Tokyo", "Pacific/Honolulu"}) {
        SetTimeZone(zone);
        clockSetter.ForgetSteps();
        for (const char* outside : {"-1", "253402300800", "1e300"}) {
            keeper->SplitTimeReply(Frame(Code('1', '2', "0042", outside)));
            EXPECT_EQ(face.Status(), "Invalid Time Code Supplied") << zone << " " << outside;
        }
        EXPECT_TRUE(clockSetter.steps.empty()) << zone;
        // Both ends are taken: the first is set, the last lies beyond what the clock may be set to.
        clock.SetUtc(100);
        MakeKeeper();
        Answer(Frame(Code('1', '2', "0042", "0")));
        EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({0})) << zone;
        MakeKeeper();
        Answer(Frame(Code('1', '2', "0042", "253402300799")));
        EXPECT_EQ(face.Status(), "Clock not set: the server's time 9999-12-31 23:59:59 UTC is after 2200-01-01")
            << zone;
    }
}

TEST(RequestText, EchoCodeIsPaddedToFourDigitsAndNeverCut)
{
    EXPECT_EQ(keeper::RequestTextFor(9999), "9999TavrinClient1010");
    EXPECT_EQ(keeper::RequestTextFor(42), "0042TavrinClient1010");
    EXPECT_EQ(keeper::RequestTextFor(7), "0007TavrinClient1010");
    EXPECT_EQ(keeper::RequestTextFor(0), "0000TavrinClient1010");
    EXPECT_EQ(keeper::RequestTextFor(-12), "000-12TavrinClient1010");
    EXPECT_EQ(keeper::RequestTextFor(123456), "123456TavrinClient1010");
}
