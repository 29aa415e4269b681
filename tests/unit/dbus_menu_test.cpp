#include "platform/dbus_menu.h"
#include "tests/support/event_loop.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

using platform::DBusMenu;
using platform::DBusMenuLabel;

namespace {

// No bus: what a panel would read and send is asked of the menu directly.
QDBusConnection NoBus()
{
    return QDBusConnection(QStringLiteral("tavrin-no-bus"));
}

} // namespace

TEST(DBusMenuLabels, AccessKeyMarksBecomeUnderscores)
{
    EXPECT_EQ(DBusMenuLabel("E&xit"), "E_xit");
    EXPECT_EQ(DBusMenuLabel("&Properties"), "_Properties");
    EXPECT_EQ(DBusMenuLabel("Salt && Pepper"), "Salt & Pepper");
    EXPECT_EQ(DBusMenuLabel("snake_case"), "snake__case"); // a plain underscore is no mark
    EXPECT_EQ(DBusMenuLabel("end&"), "end&");
}

TEST(DBusMenus, EntriesAreTheMenusActionsInOrderWithTheirState)
{
    QMenu menu;
    menu.addAction("&Properties");
    menu.addSeparator();
    QAction* alarm = menu.addAction("Hour &Alarm");
    alarm->setCheckable(true);
    alarm->setChecked(true);
    menu.addAction("E&xit")->setEnabled(false);
    DBusMenu exported(NoBus(), "/MenuBar", &menu);

    EXPECT_EQ(exported.EntryCount(), 4);
    EXPECT_EQ(exported.Properties(0), QVariantMap({{"children-display", "submenu"}}));
    EXPECT_EQ(exported.Properties(1), QVariantMap({{"label", "_Properties"}}));
    EXPECT_EQ(exported.Properties(2), QVariantMap({{"type", "separator"}}));
    EXPECT_EQ(exported.Properties(3),
              QVariantMap({{"label", "Hour _Alarm"}, {"toggle-type", "checkmark"}, {"toggle-state", 1}}));
    EXPECT_EQ(exported.Properties(4), QVariantMap({{"label", "E_xit"}, {"enabled", false}}));
    EXPECT_TRUE(exported.Properties(5).isEmpty());
    EXPECT_TRUE(exported.Properties(-1).isEmpty());
}

TEST(DBusMenus, AClickTriggersItsEntryAfterThePanelHasItsAnswer)
{
    QMenu menu;
    int properties = 0;
    int exits = 0;
    QObject::connect(menu.addAction("&Properties"), &QAction::triggered, [&] { ++properties; });
    QAction* exit = menu.addAction("E&xit");
    QObject::connect(exit, &QAction::triggered, [&] { ++exits; });
    DBusMenu exported(NoBus(), "/MenuBar", &menu);

    EXPECT_TRUE(exported.Event(2, "clicked"));
    EXPECT_EQ(exits, 0); // not yet: the panel's call returns first
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return exits == 1; }));
    EXPECT_TRUE(exported.Event(1, "hovered"));
    EXPECT_FALSE(exported.Event(3, "clicked"));
    exit->setEnabled(false);
    EXPECT_TRUE(exported.Event(2, "clicked"));
    EXPECT_TRUE(exported.Event(1, "clicked"));
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return properties == 1; }));
    EXPECT_EQ(exits, 1); // a disabled entry does nothing
}

TEST(DBusMenus, AChangedMenuIsANewRevision)
{
    QMenu menu;
    QAction* alarm = menu.addAction("Hour &Alarm");
    alarm->setCheckable(true);
    DBusMenu exported(NoBus(), "/MenuBar", &menu);
    const unsigned before = exported.Revision();
    alarm->setChecked(true);
    EXPECT_GT(exported.Revision(), before);
    EXPECT_EQ(exported.Properties(1).value("toggle-state"), 1);
    const unsigned checked = exported.Revision();
    menu.addAction("E&xit");
    EXPECT_GT(exported.Revision(), checked);
    EXPECT_EQ(exported.EntryCount(), 2);
}
