#include "platform/dbus_menu.h"
#include "platform/status_notifier_item.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"
#include "tests/support/private_bus.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

using app::TrayStatus;
using platform::TrayAction;
using platform::TrayMouseEvent;
using testsupport::FormTest;

namespace {

QImage Face(const QLabel* image)
{
    return image->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
}
QImage Shown(const testsupport::TrayRequest& request)
{
    return request.image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class Tray : public FormTest {};

TEST_F(Tray, StartUpAddsAnEmptyIconAndFillsItAtOnce)
{
    ASSERT_EQ(tray.requests.size(), 2u);
    EXPECT_EQ(tray.requests[0].action, TrayAction::Add);
    EXPECT_TRUE(tray.requests[0].image.isNull());
    EXPECT_EQ(tray.requests[0].tip, "");
    EXPECT_EQ(tray.requests[1].action, TrayAction::Modify);
    EXPECT_EQ(Shown(tray.requests[1]), Face(form->Image1));
    EXPECT_EQ(tray.requests[1].tip, "Tavrin Client Active");
    EXPECT_TRUE(tray.present);
}

TEST_F(Tray, TheIconFollowsTheErrorFlag)
{
    form->FErrorIcon = true;
    EXPECT_TRUE(form->UpdateTrayIcon(TrayAction::Modify));
    EXPECT_EQ(Shown(tray.requests.back()), Face(form->Image2));
    EXPECT_NE(Face(form->Image1), Face(form->Image2));
    // Panels that draw the icon by its name must find the same face, set apart as trouble.
    EXPECT_EQ(tray.requests.back().iconName, "tavrin-client-tray-error");
    EXPECT_TRUE(tray.requests.back().needsAttention);
    form->FErrorIcon = false;
    form->UpdateTrayIcon(TrayAction::Modify);
    EXPECT_EQ(Shown(tray.requests.back()), Face(form->Image1));
    EXPECT_EQ(tray.requests.back().iconName, "tavrin-client-tray");
    EXPECT_FALSE(tray.requests.back().needsAttention);
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active");
}

TEST_F(Tray, DestructionRemovesTheIcon)
{
    form.reset();
    EXPECT_EQ(tray.requests.back().action, TrayAction::Delete);
    EXPECT_FALSE(tray.present);
    EXPECT_FALSE(tray.onMouse); // no calls into a window that is gone
}

TEST_F(Tray, WithoutANotificationAreaEveryRequestFails)
{
    form.reset();
    tray = testsupport::FakeTrayIcon();
    tray.available = false;
    MakeForm();
    EXPECT_FALSE(form->UpdateTrayIcon(TrayAction::Modify));
    EXPECT_FALSE(tray.present);
}

TEST_F(Tray, DoubleClickOrAPanelsActivateShowsTheWindowAndOtherClicksDoNothing)
{
    tray.onMouse(TrayMouseEvent::Other);
    EXPECT_FALSE(form->isVisible());
    tray.onMouse(TrayMouseEvent::DoubleClick);
    EXPECT_TRUE(form->isVisible());
    form->hide();
    tray.onMouse(TrayMouseEvent::Activate);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(Tray, RightClickPopsTheMenuUpAtTheCursorWithoutWaitingForIt)
{
    tray.cursor = QPoint(40, 50);
    tray.onMouse(TrayMouseEvent::RightButtonUp); // a panel waits for this to return
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    EXPECT_EQ(form->PopupMenu1->pos(), QPoint(40, 50));
    EXPECT_FALSE(form->isVisible());
    form->PopupMenu1->close();
}

TEST_F(Tray, RightClicksWhileTheMenuIsOpenLeaveItAsItIs)
{
    int opened = 0;
    QObject::connect(form->PopupMenu1, &QMenu::aboutToShow, [&] { ++opened; });
    for (int i = 0; i < 100; ++i)
        tray.onMouse(TrayMouseEvent::RightButtonUp);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    form->PopupMenu1->close();
    tray.onMouse(TrayMouseEvent::RightButtonUp); // closed, it opens again
    EXPECT_EQ(opened, 2);
    form->PopupMenu1->close();
}

TEST_F(Tray, AFloodOfAPanelsMenuCallsOpensTheMenuOnceAndEachIsAnswered)
{
    const testsupport::PrivateBus bus;
    if (bus.Address().empty())
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    const QString address = QString::fromStdString(bus.Address());
    const QDBusConnection program = QDBusConnection::connectToBus(address, "program");
    QDBusConnection panel = QDBusConnection::connectToBus(address, "panel");
    ASSERT_TRUE(program.isConnected() && panel.isConnected());
    int opened = 0;
    QObject::connect(form->PopupMenu1, &QMenu::aboutToShow, [&] { ++opened; });
    {
        platform::StatusNotifierItem item(program, "Tavrin Client", form->PopupMenu1);
        item.onMouse = [&](TrayMouseEvent event) { form->HandleTrayNotify(event); };
        QDBusMessage call = QDBusMessage::createMethodCall(item.ServiceName(), "/StatusNotifierItem",
                                                           "org.kde.StatusNotifierItem", "ContextMenu");
        call << 0 << 0;
        std::vector<QDBusPendingCall> calls;
        for (int i = 0; i < 500; ++i)
            calls.push_back(panel.asyncCall(call, 5000));
        ASSERT_TRUE(testsupport::ProcessEventsUntil(
            [&] { return std::all_of(calls.begin(), calls.end(), [](const auto& c) { return c.isFinished(); }); },
            std::chrono::seconds(20)));
        EXPECT_TRUE(std::none_of(calls.begin(), calls.end(), [](const auto& c) { return c.isError(); }));
        ASSERT_TRUE(testsupport::ProcessPendingEvents());
    }
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    form->PopupMenu1->close();
    QDBusConnection::disconnectFromBus("program");
    QDBusConnection::disconnectFromBus("panel");
}

// What a StatusNotifier panel draws and sends back: "Update now" asks the server at once.
TEST_F(Tray, APanelsMenuHasUpdateNowWhichAsksAtOnce)
{
    platform::DBusMenu exported(QDBusConnection(QStringLiteral("tavrin-no-bus")), "/MenuBar", form->PopupMenu1);
    QStringList entries;
    for (int id = 1; id <= exported.EntryCount(); ++id)
        entries << exported.Properties(id).value("type", exported.Properties(id).value("label")).toString();
    EXPECT_EQ(entries, QStringList({"_Properties", "_Update now", "separator", "E_xit"})); // each key its own
    form->StatusBar1->SetPanelText(1, "");
    ASSERT_TRUE(exported.Event(2, "clicked"));
    EXPECT_TRUE(testsupport::ProcessEventsUntil(
        [&] { return form->StatusBar1->PanelText(1) == "Attempting to connect to server.."; }));
}

TEST_F(Tray, PanelsThatDrawTheMenuGetThePopupMenu)
{
    EXPECT_EQ(tray.contextMenu, form->PopupMenu1);
    form.reset();
    EXPECT_EQ(tray.contextMenu, nullptr);
    EXPECT_FALSE(tray.onAvailable);
}

TEST_F(Tray, ANotificationAreaThatStartsLaterGetsTheIconAndOnlyThenTheWindowHidesToIt)
{
    form.reset();
    tray = testsupport::FakeTrayIcon();
    tray.available = false;
    MakeForm();
    form->ShowWindow();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible()) << "no icon to come back from: the window must stay reachable";
    EXPECT_TRUE(form->windowState() & Qt::WindowMinimized);

    tray.available = true;
    tray.requests.clear();
    tray.onAvailable();
    ASSERT_EQ(tray.requests.size(), 2u);
    EXPECT_EQ(tray.requests[0].action, TrayAction::Add);
    EXPECT_EQ(tray.requests[1].action, TrayAction::Modify);
    EXPECT_EQ(Shown(tray.requests[1]), Face(form->Image1));
    EXPECT_TRUE(tray.present);
    EXPECT_TRUE(form->isVisible());
    tray.onMouse(TrayMouseEvent::Activate);
    EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);

    tray.onAvailable(); // told again: the icon is there already
    EXPECT_EQ(tray.requests.size(), 3u);
    EXPECT_FALSE(form->close());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Tray, RightClickWithoutACursorPositionShowsTheWindow)
{
    tray.cursor.reset();
    tray.onMouse(TrayMouseEvent::RightButtonUp);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->PopupMenu1->isVisible());
}

TEST_F(Tray, MinimiseAndCloseHideTheWindowAndTheProgramGoesOn)
{
    form->ShowWindow();
    form->setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);

    form->Properties1->trigger();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->close());
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(application.Terminated());
    EXPECT_TRUE(tray.present);
}

TEST_F(Tray, TheTipCarriesTheLastResultAndOnlyAChangeForTheWorseNotifies)
{
    form->ReportResult("Last update 12:00:05: clock right (offset +0.3 s)", false);
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\nLast update 12:00:05: clock right (offset +0.3 s)");
    EXPECT_TRUE(tray.messages.empty());

    form->ReportResult("Server unreachable since 12:05:00", true);
    form->ReportResult("Server unreachable since 12:05:00", true); // five minutes later, still down
    ASSERT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.messages[0].second, "Server unreachable since 12:05:00");
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client: server unreachable\nServer unreachable since 12:05:00");

    form->ReportResult("Last update 12:15:05: clock stepped by +3 s", false);
    form->ReportResult("Clock not set: no permission", true);
    EXPECT_EQ(tray.messages.size(), 2u);
}

TEST_F(Tray, ANoticeStandsOnItsOwnLineUntilCleared)
{
    using Notice = TrayStatus::Notice;
    form->ReportResult("Last update 12:00:05: clock right (offset +0.3 s)", false);
    form->ReportNotice(Notice::OtherSynchroniser, "systemd-timesyncd also sets this clock");
    form->ReportNotice(Notice::OtherSynchroniser, "systemd-timesyncd also sets this clock");
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.requests.back().tip,
              "Tavrin Client: another program sets the clock\nLast update 12:00:05: clock right (offset +0.3 s)\n"
              "systemd-timesyncd also sets this clock");

    form->ReportNotice(Notice::OtherSynchroniser, "");
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\nLast update 12:00:05: clock right (offset +0.3 s)");
    form->ReportNotice(Notice::OtherSynchroniser, "chronyd also sets this clock");
    EXPECT_EQ(tray.messages.size(), 2u);
}

// lxqt-panel shows only the tip's title: whatever is wrong must be said there, the detail
// below it.
TEST_F(Tray, TheTipsTitleSaysWhatIsWrongAndTheBodyTheDetail)
{
    using Notice = TrayStatus::Notice;
    struct Case {
        const char* result = nullptr;
        bool failing = false;
        std::optional<Notice> notice;
        const char* title = nullptr;
    };
    const Case cases[] = {
        {"Last update 12:00:05: clock right (offset +0.3 s)", false, {}, "Tavrin Client Active"},
        {"Server unreachable since 12:05:00", true, {}, "Tavrin Client: server unreachable"},
        {"Server name not found: time.example (no answer)", true, {}, "Tavrin Client: server name not found"},
        {"Clock not set: no permission", true, {}, "Tavrin Client: clock not set"},
        {"Clock not set: step of 86400 s over the limit of 600 s", true, Notice::OtherSynchroniser,
         "Tavrin Client: clock not set"},
        {"Last update 12:00:05: clock stepped by +3 s", false, Notice::ReplyPortInUse,
         "Tavrin Client: another copy receives the time"},
        {"Last update 12:00:05: clock stepped by +3 s", false, Notice::OtherSynchroniser,
         "Tavrin Client: another program sets the clock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        form.reset();
        tray = testsupport::FakeTrayIcon();
        MakeForm();
        if (c.notice)
            form->ReportNotice(*c.notice, "the notice's own words");
        form->ReportResult(c.result, c.failing);
        const std::string& tip = tray.requests.back().tip;
        const std::string title = tip.substr(0, tip.find('\n'));
        EXPECT_EQ(title, c.title);
        EXPECT_NE(tip.find(std::string("\n") + c.result), std::string::npos) << tip;
    }
}

// While the tray shows the system service, the service's notices stand below its own,
// and the first of them heads the tip when nothing of the tray's own is wrong.
TEST(TrayStatusTest, TheServicesNoticesComeAfterWhatTheTraySaysItself)
{
    using Notice = TrayStatus::Notice;
    const std::string kTwo = "Another time synchroniser keeps the clock: stop chronyd or ntpd\n"
                             "Another Tavrin Client on this PC receives the time (port 6646 in use)";
    struct Case {
        const char* name = nullptr;
        bool failing = false;
        std::optional<Notice> notice;
        std::string serviceNotices;
        const char* title = nullptr;
    };
    const Case cases[] = {
        {"none", false, {}, "", "Tavrin Client Active"},
        {"the service's alone", false, {}, kTwo, "Tavrin Client: another time synchroniser keeps the clock"},
        {"one without detail", false, {}, "Settings not read", "Tavrin Client: settings not read"},
        {"a failure first", true, {}, kTwo, "Tavrin Client: server unreachable"},
        {"the tray's own first", false, Notice::ReplyPortInUse, kTwo, "Tavrin Client: another copy receives the time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrayStatus status;
        status.SetResult(c.failing ? "Server unreachable since 12:05:00" : "Last update 12:00:05: clock right",
                         c.failing);
        if (c.notice)
            status.SetNotice(*c.notice, "the notice's own words");
        EXPECT_EQ(status.SetServiceNotices(c.serviceNotices), !c.serviceNotices.empty());
        EXPECT_EQ(status.Title(), c.title);
        const std::string tip = status.TipLines();
        EXPECT_TRUE(tip.ends_with(c.serviceNotices)) << tip;
        EXPECT_EQ(tip.find("the notice's own words") != std::string::npos, c.notice.has_value()) << tip;
        if (c.notice && !c.serviceNotices.empty()) {
            EXPECT_LT(tip.find("the notice's own words"), tip.find(c.serviceNotices)) << tip;
        }
    }

    // Raised once: the same lines again are nothing new, other lines are, clearing is not.
    TrayStatus status;
    status.SetResult("Last update 12:00:05: clock right", false);
    EXPECT_TRUE(status.SetServiceNotices("Settings not read"));
    EXPECT_FALSE(status.SetServiceNotices("Settings not read"));
    EXPECT_TRUE(status.SetServiceNotices(kTwo));
    EXPECT_FALSE(status.SetServiceNotices(""));
    EXPECT_EQ(status.Title(), "Tavrin Client Active");
    EXPECT_EQ(status.TipLines(), "\nLast update 12:00:05: clock right");
}

// A login whose panel comes late: the window waits a moment for the tray, shows for want of
// it, and goes to the icon once it comes; a window the user asked for stays.
class LateTray : public FormTest {
protected:
    static constexpr std::chrono::milliseconds kPatience{30};

    void SetUp() override
    {
        form.reset();
        tray = testsupport::FakeTrayIcon();
        tray.available = false;
        MakeForm();
    }

    void TrayComes()
    {
        tray.available = true;
        tray.onAvailable();
        ASSERT_TRUE(tray.present);
    }

    // Runs the loop until the patience has run out: a timer of the same length, started
    // after it, has fired.
    void OutlastPatience()
    {
        bool passed = false;
        QTimer::singleShot(kPatience, [&] { passed = true; });
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return passed; }));
    }
};

TEST_F(LateTray, NoTrayShowsTheWindowAfterThePatienceAndALateTrayHidesItAgain)
{
    form->ShowIfNoTrayWithin(kPatience);
    EXPECT_FALSE(form->isVisible());
    OutlastPatience();
    ASSERT_TRUE(form->isVisible()) << "without a tray the window is the only way in";
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->windowState() & Qt::WindowMinimized) << "no icon yet: closing minimises";

    TrayComes();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
    tray.onMouse(TrayMouseEvent::Activate); // the icon brings it back, now as the user's
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
}

TEST_F(LateTray, ATrayWithinThePatienceKeepsTheWindowHidden)
{
    form->ShowIfNoTrayWithin(kPatience);
    TrayComes();
    OutlastPatience();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(LateTray, AWindowTheUserAskedForStaysWhenTheTrayComes)
{
    form->ShowIfNoTrayWithin(kPatience);
    OutlastPatience();
    ASSERT_TRUE(form->isVisible());
    form->ShowWindow(); // a second start asked for it meanwhile
    TrayComes();
    EXPECT_TRUE(form->isVisible());

    form->hide();
    form->ShowIfNoTrayWithin(kPatience); // the tray has the icon: nothing to wait for
    OutlastPatience();
    EXPECT_FALSE(form->isVisible());
}
