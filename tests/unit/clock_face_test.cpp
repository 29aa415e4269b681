#include "tests/support/form_fixture.h"

#include <QAction>

#include <gtest/gtest.h>

using app::RequestTextFor;
using testsupport::FormTest;

class ClockFace : public FormTest {
protected:
    // Counts the requests started by the ticks: each one rewrites status panel 1.
    int TickCountingFetches(int ticks)
    {
        int fetches = 0;
        for (int i = 0; i < ticks; ++i) {
            form->StatusBar1->SetPanelText(1, "");
            Tick();
            fetches += !form->StatusBar1->PanelText(1).empty();
        }
        return fetches;
    }
};

TEST_F(ClockFace, ShowsHoursMinutesSecondsAndDate)
{
    clock.Set(9, 5, 7, 2008, 5, 21);
    Tick();
    EXPECT_EQ(form->lblH->text(), "09");
    EXPECT_EQ(form->lblM->text(), "05");
    EXPECT_EQ(form->lblS->text(), "07");
    EXPECT_EQ(form->DateLabel->text().toStdString(), framework::FormatDateTime("ddd dd mmm yyyy", form->FCurrentTime));
    EXPECT_DOUBLE_EQ(form->FCurrentTime, framework::EncodeDateTime(clock.now));
}

TEST_F(ClockFace, RunsOn24HoursAndFollowsMidnightWithinOneTick)
{
    clock.Set(23, 59, 59, 2008, 5, 21);
    Tick();
    const QString before = form->DateLabel->text();
    EXPECT_EQ(form->lblH->text(), "23");
    clock.Set(0, 0, 0, 2008, 5, 22);
    Tick();
    EXPECT_EQ(form->lblH->text(), "00");
    EXPECT_EQ(form->lblM->text(), "00");
    EXPECT_NE(form->DateLabel->text(), before);
}

TEST_F(ClockFace, AClockSteppedByWholeDaysShowsTheNewDateAtOnce)
{
    clock.Set(9, 5, 7, 2008, 5, 21);
    Tick();
    const QString before = form->DateLabel->text();
    clock.Set(9, 5, 7, 2009, 5, 21);
    Tick();
    EXPECT_NE(form->DateLabel->text(), before);
    EXPECT_EQ(form->DateLabel->accessibleName(), "date " + form->DateLabel->text());
}

TEST_F(ClockFace, ColonShowsForTwoTicksAndHidesForThree)
{
    std::string pattern;
    for (int i = 0; i < 10; ++i) {
        Tick();
        pattern += form->DotLabel->isHidden() ? '-' : '#';
        EXPECT_LE(form->DotLabel->Tag, 5);
    }
    EXPECT_EQ(pattern, "##---##---");
    EXPECT_EQ(form->DotLabel->Tag, 0);
}

TEST_F(ClockFace, FirstTickAsksAtOnceAndTheCountdownRestartsAt300s)
{
    EXPECT_EQ(TickCountingFetches(1), 1);
    EXPECT_FALSE(form->FFirstFetch);
    EXPECT_EQ(form->StatusBar1->PanelText(0), "300s");
    EXPECT_EQ(form->FRequestText, "9999TavrinClient1010");
    EXPECT_EQ(form->Timer1->Tag, 1200);
}

TEST_F(ClockFace, CountdownPanelRunsFrom300sTo0sThenRestarts)
{
    Tick();
    std::vector<std::string> shown;
    std::vector<std::string> expected;
    int fetches = 0;
    for (int i = 0; i < 1200; ++i) {
        fetches += TickCountingFetches(1);
        shown.push_back(form->StatusBar1->PanelText(0));
        // Four ticks a second: 299s for the first four, down to 0s for the last three.
        expected.push_back(std::to_string(i == 1199 ? 300 : (1199 - i) / 4) + "s");
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(fetches, 1); // exactly at the 1200th tick
}

TEST_F(ClockFace, ForceNowAsksWithoutTouchingTheCountdown)
{
    Tick();
    for (int i = 0; i < 10; ++i)
        Tick();
    const int countdown = form->Timer1->Tag;
    form->StatusBar1->SetPanelText(1, "");
    form->Force1->trigger();
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Attempting to connect to server..");
    EXPECT_EQ(form->Timer1->Tag, countdown);
}

class HourAlarm : public FormTest {
protected:
    void TickAt(int hour, int minute, int second, int ticks = 1)
    {
        clock.Set(hour, minute, second);
        for (int i = 0; i < ticks; ++i)
            Tick();
    }
    void SetAlarm(bool on) { form->Chimes1->setChecked(on); }
};

TEST_F(HourAlarm, StartingDuringMinute00StaysSilentUntilTheNextHour)
{
    SetAlarm(true);
    TickAt(10, 0, 20, 40);
    EXPECT_TRUE(sound.played.empty());
    TickAt(10, 1, 0);
    TickAt(10, 59, 59, 4);
    EXPECT_TRUE(sound.played.empty());
    TickAt(11, 0, 0);
    EXPECT_EQ(sound.played, std::vector<std::string>({"hour.wav"}));
}

TEST_F(HourAlarm, ExactlyOneSoundPerMinute00HoweverManyTicks)
{
    SetAlarm(true);
    TickAt(10, 59, 58);
    TickAt(11, 0, 0, 50);
    TickAt(11, 0, 30, 500); // extra ticks, as replies cause them
    TickAt(11, 0, 59, 3);
    EXPECT_EQ(sound.played.size(), 1u);
    TickAt(11, 1, 0);
    TickAt(12, 0, 0);
    EXPECT_EQ(sound.played.size(), 2u);
}

TEST_F(HourAlarm, ClockSetForwardIntoMinute00SoundsAtThatTick)
{
    SetAlarm(true);
    TickAt(10, 45, 0);
    EXPECT_FALSE(form->FChimeDone);
    TickAt(11, 0, 5);
    EXPECT_EQ(sound.played.size(), 1u);
}

TEST_F(HourAlarm, TurnedOnDuringMinute00SoundsOnlyWithTheLatchClear)
{
    // Off through the hour: the latch stays set from start-up, so no sound.
    TickAt(10, 59, 0);
    TickAt(11, 0, 0);
    SetAlarm(true);
    TickAt(11, 0, 1);
    EXPECT_TRUE(sound.played.empty());

    // On before the hour, off across it, on again within minute 00: sounds.
    TickAt(11, 59, 0);
    SetAlarm(false);
    TickAt(12, 0, 0);
    EXPECT_TRUE(sound.played.empty());
    SetAlarm(true);
    TickAt(12, 0, 10);
    EXPECT_EQ(sound.played.size(), 1u);
}

TEST_F(HourAlarm, SilentWhileOff)
{
    for (int hour = 0; hour < 24; ++hour) {
        TickAt(hour, 59, 0);
        TickAt(hour, 0, 0);
    }
    EXPECT_TRUE(sound.played.empty());
}

TEST(RequestText, EchoCodeIsPaddedToFourDigitsAndNeverCut)
{
    EXPECT_EQ(RequestTextFor(9999), "9999TavrinClient1010");
    EXPECT_EQ(RequestTextFor(42), "0042TavrinClient1010");
    EXPECT_EQ(RequestTextFor(7), "0007TavrinClient1010");
    EXPECT_EQ(RequestTextFor(0), "0000TavrinClient1010");
    EXPECT_EQ(RequestTextFor(-12), "000-12TavrinClient1010");
    EXPECT_EQ(RequestTextFor(123456), "123456TavrinClient1010");
}
