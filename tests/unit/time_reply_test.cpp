#include "tests/support/form_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using app::kButtonFace;
using app::kGray;
using testsupport::FormTest;

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

class TimeReply : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        Tick(); // the first tick fetches; start from a settled countdown
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

    void ExpectUnknownBadge() { ExpectBadge("Unknown", kButtonFace, kGray); }
};

TEST_F(TimeReply, TheExampleFrameSetsTheClockAndShowsGpsOnLime)
{
    clock.Set(12, 34, 56, 2008, 5, 20);
    Tick();
    const std::string lastTickDate = form->DateLabel->text().toStdString();
    const std::string shownTime = framework::FormatDateTime("hh:nn:ss", form->FCurrentTime);

    form->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")));

    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({k21May2008Noon}));
    EXPECT_EQ(form->FEchoCode, 42);
    EXPECT_EQ(form->FTimeSource, 1);
    EXPECT_EQ(form->FSyncState, 2);
    EXPECT_EQ(form->tsStatus->Caption(), "GPS");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
    EXPECT_EQ(form->tsStatus->FontColor(), 0x000000u);
    // The text shows the time of the tick before the clock was set.
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Last Update: " + shownTime + " " + lastTickDate);
    EXPECT_EQ(form->FRequestText, "9999TavrinClient1010"); // taken at the next fetch
}

TEST_F(TimeReply, EveryCodeRunsOneClockTick)
{
    const int countdown = form->Timer1->Tag;
    const int blink = form->DotLabel->Tag;
    form->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")) + Frame("no marker here"));
    EXPECT_EQ(form->Timer1->Tag, countdown - 2);
    EXPECT_EQ(form->DotLabel->Tag, (blink + 2) % 5);
}

TEST_F(TimeReply, NextRequestEchoesTheCode)
{
    for (const auto& [field, request] : std::vector<std::pair<std::string, std::string>>{
             {"0042", "0042TavrinClient1010"}, {"0007", "0007TavrinClient1010"}, {" -12", "000-12TavrinClient1010"}}) {
        form->SplitTimeReply(Frame(Code('1', '2', field, "1211371200")));
        form->FetchTimeAndDate();
        EXPECT_EQ(form->FRequestText, request);
    }
}

TEST_F(TimeReply, PcClockAsSourceForcesLime)
{
    form->SplitTimeReply(Frame(Code('0', '0', "0001", "1211371200")));
    EXPECT_EQ(form->tsStatus->Caption(), "PC Clock");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
    EXPECT_EQ(form->FSyncState, 2);
}

TEST_F(TimeReply, UnknownSourceOrStateLeavesItsPartOfTheBadge)
{
    form->SplitTimeReply(Frame(Code('3', '0', "0001", "1211371200")));
    form->SplitTimeReply(Frame(Code('2', '1', "0001", "1211371200")));
    EXPECT_EQ(form->tsStatus->Caption(), "NTP");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FFFFu);
    for (char state = '4'; state <= '9'; ++state) {
        form->SplitTimeReply(Frame(Code('1', state, "0001", "1211371200")));
        EXPECT_EQ(form->tsStatus->Caption(), "GPS");
        EXPECT_EQ(form->tsStatus->Color(), 0x00FFFFu) << state;
    }
}

TEST_F(TimeReply, TwoFramesInOneReadApplyInOrder)
{
    form->SplitTimeReply(Frame(Code('1', '0', "0011", "1211371200")) + Frame(Code('3', '2', "0022", "1211371260")));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({k21May2008Noon, k21May2008Noon + 60}));
    EXPECT_EQ(form->FEchoCode, 22);
    EXPECT_EQ(form->tsStatus->Caption(), "NTP");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
}

TEST_F(TimeReply, AShortFirstFrameDropsTheWholeRead)
{
    const int countdown = form->Timer1->Tag;
    for (const std::string& read : {std::string("{ab}") + Frame(Code('1', '2', "0042", "1211371200")),
                                    std::string("}") + Frame(Code('1', '2', "0042", "1211371200")),
                                    std::string("{TAVRIN_1,0,2,00421211371200")}) {
        form->SplitTimeReply(read);
        EXPECT_TRUE(clockSetter.set.empty()) << read;
    }
    EXPECT_EQ(form->Timer1->Tag, countdown); // no code reached, no tick
    EXPECT_EQ(form->FEchoCode, 9999);
}

TEST_F(TimeReply, ACharacterBetweenFramesShiftsTheNextCode)
{
    form->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371200")) + "x"
                         + Frame(Code('3', '0', "0043", "1211371200")));
    // The second code starts with "{": every field sits one place later and fails to read.
    EXPECT_EQ(clockSetter.set.size(), 1u);
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Invalid Time Code Supplied");
    ExpectUnknownBadge();
}

TEST_F(TimeReply, AFractionIsCutOff)
{
    form->SplitTimeReply(Frame(Code('1', '2', "0042", "1211371260.9")));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({k21May2008Noon + 60}));
}

TEST_F(TimeReply, TheMarkerMayStandAnywhere)
{
    // Fields are still read at their fixed places.
    form->SplitTimeReply(Frame("xxxxxxx1,0,2,0042" + std::to_string(k21May2008Noon) + "TAVRIN_"));
    EXPECT_EQ(form->FEchoCode, 42);
    EXPECT_TRUE(clockSetter.set.empty()); // "1211371200TAVRIN_" is not a number
}

TEST_F(TimeReply, WithoutTheMarkerNothingIsTaken)
{
    form->SplitTimeReply(Frame("TAVRIX_1,0,2,00421211371200"));
    EXPECT_EQ(form->FEchoCode, 9999);
    EXPECT_TRUE(clockSetter.set.empty());
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Invalid Time Code Supplied");
    ExpectUnknownBadge();
}

TEST_F(TimeReply, ACodeWithoutATimeKeepsItsFieldsButSetsNoClock)
{
    form->SplitTimeReply(Frame(Code('3', '1', "0042", "")));
    EXPECT_EQ(form->FEchoCode, 42);
    EXPECT_EQ(form->FSyncState, 1);
    EXPECT_EQ(form->FTimeSource, 3);
    EXPECT_TRUE(clockSetter.set.empty());
    ExpectUnknownBadge();
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Invalid Time Code Supplied");
}

TEST_F(TimeReply, AFailingFieldKeepsWhatCameBefore)
{
    form->SplitTimeReply(Frame("TAVRIN_1,x,2,00421211371200")); // position 10 is not a digit
    EXPECT_EQ(form->FEchoCode, 42);
    EXPECT_EQ(form->FSyncState, 0);
    EXPECT_TRUE(clockSetter.set.empty());
    form->SplitTimeReply(Frame("TAVRIN_x,0,2,00071211371200")); // the source is read last
    EXPECT_EQ(form->FEchoCode, 7);
    EXPECT_EQ(form->FSyncState, 2);
    EXPECT_EQ(form->FTimeSource, 0);
    EXPECT_TRUE(clockSetter.set.empty());
}

TEST_F(TimeReply, CountsPast2038AreSetWithoutWrapping)
{
    SetTimeZone("UTC0");
    form->SplitTimeReply(Frame(Code('1', '2', "0042", "2147483648")) + Frame(Code('1', '2', "0042", "4102444800")));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({2147483648LL, 4102444800LL}));
}

TEST_F(TimeReply, CountsFrom1970To9999UtcAreTakenTheSameInEveryTimeZone)
{
    // Honolulu is behind UTC, Tokyo ahead: the edges must not move with the zone.
    for (const char* zone : {"UTC0", "Asia/Tokyo", "Pacific/Honolulu"}) {
        SetTimeZone(zone);
        clockSetter.set.clear();
        for (const char* outside : {"-1", "253402300800", "1e300"}) {
            form->SplitTimeReply(Frame(Code('1', '2', "0042", outside)));
            EXPECT_EQ(form->StatusBar1->PanelText(1), "Invalid Time Code Supplied") << zone << " " << outside;
        }
        EXPECT_TRUE(clockSetter.set.empty()) << zone;
        form->SplitTimeReply(Frame(Code('1', '2', "0042", "0")) + Frame(Code('1', '2', "0042", "253402300799")));
        EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({0, 253402300799})) << zone;
    }
}
