#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"

#include <QAction>

#include <gtest/gtest.h>

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

TEST_F(ClockFace, TheKeeperAsksAtOnceAndTheCountdownShowsItsNextRequest)
{
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return !form->clockKeeper->FFirstFetch; }));
    EXPECT_EQ(form->clockKeeper->FRequestText, "9999TavrinClient1010");
    Tick();
    // The tick shows what the keeper counts; just started, that is the whole interval.
    EXPECT_EQ(form->StatusBar1->PanelText(0), std::to_string(form->clockKeeper->SecondsToNextFetch()) + "s");
    EXPECT_GE(form->clockKeeper->SecondsToNextFetch(), 295);
    EXPECT_EQ(TickCountingFetches(20), 0); // the ticks only show the countdown
}

TEST_F(ClockFace, ForceNowAsksAtOnce)
{
    form->StatusBar1->SetPanelText(1, "");
    form->Force1->trigger();
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Attempting to connect to server..");
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
