#include "tests/support/form_fixture.h"

#include <gtest/gtest.h>

using app::kButtonFace;
using app::kGray;
using testsupport::FormTest;

class SyncBadge : public FormTest {};

TEST_F(SyncBadge, SourceNamesTheCaptionAndStateChoosesTheColours)
{
    ShowBadge(1, 2);
    ExpectBadge("GPS", 0x00FF00, 0x000000);
    ShowBadge(3, 0);
    ExpectBadge("NTP", 0x0000FF, 0xFFFFFF);
    ShowBadge(1, 1);
    ExpectBadge("GPS", 0x00FFFF, 0x000000);
    ShowBadge(3, 3);
    ExpectBadge("NTP", kButtonFace, kGray);
}

TEST_F(SyncBadge, ThePcClockAsSourceIsNamed)
{
    ShowBadge(0, 2);
    ExpectBadge("PC Clock", 0x00FF00, 0x000000);
}

TEST_F(SyncBadge, ValuesOutsideTheTableLeaveTheirPart)
{
    ShowBadge(1, 2);
    ShowBadge(2, 1); // unknown source: caption stays, colours follow the state
    ExpectBadge("GPS", 0x00FFFF, 0x000000);
    ShowBadge(3, 7); // unknown state: caption follows, colours stay
    ExpectBadge("NTP", 0x00FFFF, 0x000000);
    ShowBadge(9, -1);
    ExpectBadge("NTP", 0x00FFFF, 0x000000);
}

TEST_F(SyncBadge, UnknownLookIsGreyOnButtonFace)
{
    ShowBadge(1, 2);
    form->ShowUnknownBadge();
    ExpectBadge("Unknown", kButtonFace, kGray);
}

TEST_F(SyncBadge, ColoursReachTheScreen)
{
    ShowBadge(0, 2);
    const QPalette colours = form->tsStatus->palette();
    EXPECT_EQ(colours.color(QPalette::Window), QColor(0, 255, 0));
    EXPECT_EQ(colours.color(QPalette::WindowText), QColor(0, 0, 0));
    ShowBadge(3, 0);
    EXPECT_EQ(form->tsStatus->palette().color(QPalette::Window), QColor(255, 0, 0));
}
