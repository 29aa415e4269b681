#include "tests/support/form_fixture.h"

#include <QAccessible>
#include <QLineEdit>

#include <gtest/gtest.h>

using testsupport::FormTest;

class Accessibility : public FormTest {
protected:
    QString BadgeAfter(int source, int state)
    {
        ShowBadge(source, state);
        return form->tsStatus->accessibleName();
    }
    static QString Name(QObject* object)
    {
        return QAccessible::queryAccessibleInterface(object)->text(QAccessible::Name);
    }
};

TEST_F(Accessibility, TheReadOutIsOneLabelNamedAfterTheTimeAndKeptCurrent)
{
    clock.Set(22, 32, 49);
    Tick();
    QAccessibleInterface* readout = QAccessible::queryAccessibleInterface(form->ClockPanel);
    EXPECT_EQ(readout->role(), QAccessible::StaticText);
    EXPECT_EQ(readout->text(QAccessible::Name), "time 22:32:49");
    // The figures are not read one by one; the badge is still there.
    ASSERT_EQ(readout->childCount(), 1);
    EXPECT_EQ(readout->child(0)->object(), form->tsStatus);
    EXPECT_EQ(readout->indexOfChild(QAccessible::queryAccessibleInterface(form->tsStatus)), 0);
    EXPECT_EQ(readout->indexOfChild(QAccessible::queryAccessibleInterface(form->lblH)), -1);

    clock.Set(22, 32, 50);
    Tick();
    EXPECT_EQ(Name(form->ClockPanel), "time 22:32:50");
    EXPECT_EQ(Name(form->DateLabel), "date Wed 21 May 2008");
}

TEST_F(Accessibility, TheBadgeSaysItsStateInWordsAsItsColoursMeanIt)
{
    EXPECT_EQ(Name(form->tsStatus), "Unknown");
    EXPECT_EQ(BadgeAfter(1, 2), "GPS, in sync");
    EXPECT_EQ(BadgeAfter(3, 0), "NTP, not in sync");
    EXPECT_EQ(BadgeAfter(1, 1), "GPS, holdover");
    EXPECT_EQ(BadgeAfter(1, 3), "GPS, sync state unknown");
    EXPECT_EQ(BadgeAfter(0, 2), "PC Clock, in sync");
    // A state outside the table leaves the colours, and what they say, as they were.
    BadgeAfter(1, 0);
    EXPECT_EQ(BadgeAfter(3, 7), "NTP, not in sync");
    form->ShowUnknownBadge();
    EXPECT_EQ(Name(form->tsStatus), "Unknown");
}

TEST_F(Accessibility, TheFieldAndTheStatusPanelsSayWhatTheyAre)
{
    EXPECT_EQ(Name(form->Edit1->Editor()), "Tavrin server address");
    EXPECT_EQ(form->Label1->buddy(), form->Edit1);
    Tick();
    form->StatusBar1->SetPanelText(1, "Attempting to connect to server..");
    QStringList names;
    for (QObject* child : form->StatusBar1->children()) {
        if (child->isWidgetType())
            names << Name(child);
    }
    EXPECT_EQ(names, QStringList({"next update in: " + QString::fromStdString(form->StatusBar1->PanelText(0)),
                                  "status: Attempting to connect to server.."}));
    form->StatusBar1->SetPanelText(1, "");
    EXPECT_TRUE(names.size() == 2 && Name(form->StatusBar1->children().back()) == "status");
}
