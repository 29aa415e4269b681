#include "platform/dbus_menu.h"
#include "tests/support/event_loop.h"
#include "tests/support/private_bus.h"

#include <QAction>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QMenu>

#include <gtest/gtest.h>

#include <optional>

using platform::DBusMenu;
using namespace std::chrono_literals;
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

TEST(DBusMenus, AFloodOfClicksBeforeTheLoopTurnsIsOneClick)
{
    QMenu menu;
    int shown = 0;
    QObject::connect(menu.addAction("&Properties"), &QAction::triggered, [&] { ++shown; });
    DBusMenu exported(NoBus(), "/MenuBar", &menu);
    for (int i = 0; i < 2000; ++i)
        EXPECT_TRUE(exported.Event(1, "clicked"));
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return shown > 0; }));
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_EQ(shown, 1);

    EXPECT_TRUE(exported.Event(1, "clicked")); // a click after that one is a click of its own
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return shown == 2; }));
}

TEST(DBusMenus, AnEntryGoneBeforeItsClickIsTriggeredIsLeftAlone)
{
    QMenu menu;
    QAction* entry = menu.addAction("&Properties");
    DBusMenu exported(NoBus(), "/MenuBar", &menu);
    EXPECT_TRUE(exported.Event(1, "clicked"));
    delete entry;
    EXPECT_TRUE(testsupport::ProcessPendingEvents()); // no crash, and nothing to trigger
    EXPECT_EQ(exported.EntryCount(), 0);
}

namespace {

// The menu offered on a private bus, and a panel's connection to call it.
class DBusMenuOnABus : public testing::Test {
protected:
    void SetUp() override
    {
        if (bus_.Address().empty())
            GTEST_SKIP() << "no dbus-daemon to run a private bus";
        menu_.addAction("&Properties");
        menu_.addSeparator();
        QAction* alarm = menu_.addAction("Hour &Alarm");
        alarm->setCheckable(true);
        alarm->setChecked(true);
        menu_.addAction("E&xit")->setEnabled(false);
        const QString address = QString::fromStdString(bus_.Address());
        program_ = QDBusConnection::connectToBus(address, "program");
        panel_ = QDBusConnection::connectToBus(address, "panel");
        ASSERT_TRUE(program_.isConnected() && panel_.isConnected());
        exported_.emplace(program_, "/MenuBar", &menu_);
    }

    void TearDown() override
    {
        exported_.reset();
        QDBusConnection::disconnectFromBus("program");
        QDBusConnection::disconnectFromBus("panel");
    }

    // A call as a panel makes it; the answer, or a "no answer" error after 2 s.
    QDBusMessage Call(const QString& method, const QList<QVariant>& arguments)
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(program_.baseService(), "/MenuBar", "com.canonical.dbusmenu", method);
        call.setArguments(arguments);
        QDBusPendingCall pending = panel_.asyncCall(call, 2000);
        testsupport::ProcessEventsUntil([&] { return pending.isFinished(); }, 10s);
        return pending.reply();
    }

    testsupport::PrivateBus bus_;
    QMenu menu_;
    QDBusConnection program_{"none"};
    QDBusConnection panel_{"none"};
    std::optional<DBusMenu> exported_;
};

} // namespace

TEST_F(DBusMenuOnABus, GetPropertyAnswersEveryCallWithTheValueTheDefaultOrAnError)
{
    struct Case {
        int id;
        QString name;
        QVariant value; // invalid where an error is the answer
    };
    const QString error = "org.freedesktop.DBus.Error.InvalidArgs";
    for (const Case& c : {
             Case{1, "label", "_Properties"},
             Case{1, "visible", true},
             Case{1, "enabled", true},
             Case{1, "type", "standard"},
             Case{1, "toggle-type", ""},
             Case{1, "toggle-state", -1},
             Case{1, "children-display", ""},
             Case{1, "icon-name", ""},
             Case{1, "icon-data", QByteArray()},
             Case{1, "disposition", "normal"},
             Case{2, "type", "separator"},
             Case{2, "label", ""},
             Case{3, "toggle-type", "checkmark"},
             Case{3, "toggle-state", 1},
             Case{4, "enabled", false},
             Case{0, "children-display", "submenu"},
             Case{0, "visible", true},
             Case{1, "no-such-property", {}},
             Case{5, "label", {}},
             Case{-1, "visible", {}},
             Case{1000000, "type", {}},
         }) {
        const QDBusMessage reply = Call("GetProperty", {c.id, c.name});
        const std::string what = "entry " + std::to_string(c.id) + ", " + c.name.toStdString();
        if (!c.value.isValid()) {
            ASSERT_EQ(reply.type(), QDBusMessage::ErrorMessage) << what;
            EXPECT_EQ(reply.errorName(), error) << what;
            continue;
        }
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << what << ": " << reply.errorMessage().toStdString();
        EXPECT_EQ(reply.signature(), "v") << what;
        EXPECT_EQ(reply.arguments().value(0).value<QDBusVariant>().variant(), c.value) << what;
    }
    // A list of key combinations, empty: its type is the protocol's all the same.
    const QDBusMessage shortcut = Call("GetProperty", {1, QString("shortcut")});
    ASSERT_EQ(shortcut.type(), QDBusMessage::ReplyMessage) << shortcut.errorMessage().toStdString();
    EXPECT_EQ(shortcut.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>().currentSignature(),
              "aas");
}

TEST_F(DBusMenuOnABus, GetGroupPropertiesAnswersEachEntryOnceHoweverManyIdsAreAsked)
{
    QList<int> ids;
    for (int i = 0; i < 1000000; ++i)
        ids.append((i * 7 + 3) % 9 - 2); // -2 to 6: the five entries, and ids of none, each many times
    for (const QStringList& names : {QStringList(), QStringList{"label"}}) {
        const QDBusMessage reply = Call("GetGroupProperties", {QVariant::fromValue(ids), names});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        const QDBusArgument entries = reply.arguments().value(0).value<QDBusArgument>();
        QList<int> answered;
        entries.beginArray();
        while (!entries.atEnd()) {
            int id = 0;
            QVariantMap properties;
            entries.beginStructure();
            entries >> id >> properties;
            entries.endStructure();
            answered.append(id);
            QVariantMap expected = exported_->Properties(id);
            if (!names.isEmpty())
                expected.removeIf([&](const auto& property) { return !names.contains(property.key()); });
            EXPECT_EQ(properties, expected) << id;
        }
        entries.endArray();
        EXPECT_EQ(answered, QList<int>({1, 4, 2, 0, 3})) << "each entry once, in the order first asked";
    }
}
