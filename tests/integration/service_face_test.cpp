// The window as the system service's face, against a stand-in for tavrin-clientd on a
// private system bus (tests/support/fake_clientd.py): it shows the service's state and
// follows its changes, asks the service for updates and another server, and its own
// keeper stands by while the service runs and comes back once it stops. Its requests go to
// a loopback peer that stands for the time server.

#include "app/main_form.h"
#include "framework/registry.h"
#include "tests/support/child_process.h"
#include "tests/support/event_loop.h"
#include "tests/support/fake_services.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/private_bus.h"
#include "tests/support/silent_bus.h"
#include "tests/support/watchdog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

using testsupport::ChildProcess;
using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kNow = 1'700'000'000; // the PC's clock, in seconds since 1970
constexpr const char* kWaiting = "Update Requested: Waiting for reply..";
const std::string kKey = "SOFTWARE\\DOVETRA\\TAVRINCLIENT"; // as the file holds it

std::string Usec(std::int64_t seconds)
{
    return std::to_string(seconds * 1'000'000);
}

} // namespace

class ServiceFace : public testing::Test, protected testsupport::FakeServices {
protected:
    void SetUp() override
    {
        if (bus.Address().empty())
            GTEST_SKIP() << "no dbus-daemon";
        clock.Set(12, 0, 0);
        clock.SetUtc(kNow);
        ports.request = server.LocalPort();
        ports.reply = testsupport::UnusedPort();
        serviceBus = bus.Address();
        serviceHandOver = 2s;
        control = QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), "service-face-test");
    }
    void TearDown() override
    {
        form.reset();
        QDBusConnection::disconnectFromBus("service-face-test");
    }

    // Starts the stand-in with `behaviour` (see fake_clientd.py).
    void StartService(const std::string& behaviour)
    {
        service = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", TAVRIN_FAKE_CLIENTD, bus.Address(), TAVRIN_CLIENTD_INTERFACE, behaviour});
        const auto ready = service->ReadLine(10s);
        ASSERT_EQ(ready.value_or("nothing"), "ready") << service->Errors();
    }

    // The window, once it knows whether the service runs.
    void MakeForm(bool serviceRuns)
    {
        form = std::make_unique<app::TForm1>(Services());
        form->Timer1->stop();
        // Until the bus has said, the keeper neither holds the port nor asks.
        ASSERT_TRUE(form->clockKeeper->StandingBy());
        ASSERT_FALSE(ReplyPortListens());
        ASSERT_TRUE(ProcessEventsUntil([&] { return form->serviceView->Running() == serviceRuns; }));
        ASSERT_EQ(form->ShowsService(), serviceRuns);
        ASSERT_EQ(form->clockKeeper->StandingBy(), serviceRuns);
    }

    // Steers the stand-in: Set, Release, Own or Mark.
    void Control(const char* method, const QVariantList& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall("test.tavrin.FakeClientd", "/control", "test.tavrin.FakeClientd", method);
        call.setArguments(arguments);
        const QDBusMessage reply = control.call(call, QDBus::Block, 5000);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    // The calls the stand-in took from here on up to a marker sent now, each as
    // fake_clientd.py prints it.
    std::vector<std::string> CallsUpToAMarker()
    {
        Control("Mark", {QStringLiteral("end")});
        std::vector<std::string> calls;
        while (const auto line = service->ReadLine(5s)) {
            if (*line == "MARK end")
                return calls;
            if (line->starts_with("CALL ") && !line->starts_with("CALL GetAll"))
                calls.push_back(*line);
        }
        ADD_FAILURE() << "no marker";
        return calls;
    }

    std::string Panel(int index) const { return form->StatusBar1->PanelText(index); }
    bool ShowsInPanel1(const std::string& text)
    {
        return ProcessEventsUntil([&] { return Panel(1) == text; });
    }
    std::string Field() const { return form->Edit1->text().toStdString(); }
    const testsupport::TrayRequest& LastTrayChange() const { return tray.requests.back(); }

    // Whether something listens on the keeper's reply port.
    bool ReplyPortListens() const { return testsupport::Listens(ports.reply); }

    std::string StoredServer()
    {
        framework::TRegistry settings(registry);
        return settings.OpenKey(form->FRegistryKey, false) && settings.ValueExists("server")
                 ? settings.ReadString("server")
                 : "";
    }

    testsupport::PrivateBus bus;
    QDBusConnection control{QString()};
    LoopbackPeer server = LoopbackPeer::Listening(); // stands for the time server
    std::unique_ptr<ChildProcess> service;
    std::unique_ptr<app::TForm1> form;
};

TEST_F(ServiceFace, ShowsTheServicesStateAndFollowsItsChanges)
{
    StartService(R"js({"properties": {"Server": "192.0.2.7", "Reachable": true, "Source": 1, "State": 2,)js"
                 R"js( "LastResult": "Last update 11:59:18: clock right (offset -12 ms)", "NextUpdateUSec": )js"
                 + Usec(kNow + 100) + "}}");
    MakeForm(true);
    ASSERT_TRUE(ShowsInPanel1("Last update 11:59:18: clock right (offset -12 ms)")) << Panel(1);
    EXPECT_EQ(Field(), "192.0.2.7");
    EXPECT_EQ(form->tsStatus->Caption(), "GPS");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
    EXPECT_EQ(LastTrayChange().tip, "Tavrin Client Active\nLast update 11:59:18: clock right (offset -12 ms)");
    EXPECT_FALSE(LastTrayChange().needsAttention);
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(Panel(0), "100s");

    // One change of several properties, then one of the badge alone.
    Control("Set", {R"js({"LastResult": "Server unreachable since 12:00:00", "Failing": true, "Source": -1,)js"
                    R"js( "State": -1, "NextUpdateUSec": )js"
                    + QString::fromStdString(Usec(kNow + 42)) + "}"});
    ASSERT_TRUE(ShowsInPanel1("Server unreachable since 12:00:00")) << Panel(1);
    EXPECT_TRUE(form->FErrorIcon);
    EXPECT_TRUE(LastTrayChange().needsAttention);
    EXPECT_EQ(LastTrayChange().tip, "Tavrin Client: server unreachable\nServer unreachable since 12:00:00");
    EXPECT_EQ(tray.messages.size(), 1u); // a change for the worse, told once
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown");
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(Panel(0), "42s");

    Control("Set", {R"js({"Source": 3, "State": 0})js"});
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->tsStatus->Caption() == "NTP"; }));
    EXPECT_EQ(form->tsStatus->Color(), 0x0000FFu);
    EXPECT_EQ(Panel(1), "Server unreachable since 12:00:00"); // untouched by the badge's change
    EXPECT_EQ(Field(), "192.0.2.7");
}

TEST_F(ServiceFace, ForceNowAsksTheServiceOnceAndTheKeeperNothing)
{
    StartService(R"js({"properties": {"LastResult": "Last update 11:55:00: clock right (offset +1 ms)"},)js"
                 R"js( "Update": {"set": {"LastResult": "Last update 12:00:00: clock right (offset +2 ms)"}}})js");
    MakeForm(true);
    EXPECT_FALSE(ReplyPortListens());
    form->BitBtn1Click(form->Force1);
    EXPECT_EQ(Panel(1), kWaiting);
    ASSERT_TRUE(ShowsInPanel1("Last update 12:00:00: clock right (offset +2 ms)")) << Panel(1);
    EXPECT_EQ(CallsUpToAMarker(), std::vector<std::string>({"CALL Update [] interactive=False"}));
    // The service's Update has come and gone: had the keeper asked, the server would know.
    EXPECT_FALSE(server.Accept(0ms));
    EXPECT_FALSE(ReplyPortListens());
    EXPECT_TRUE(clockSetter.steppedTo.empty());

    // Done without a change of the result: the panel shows the result all the same.
    Control("Set", {R"js({"LastResult": "Server unreachable since 12:00:00", "Failing": true})js"});
    ASSERT_TRUE(ShowsInPanel1("Server unreachable since 12:00:00"));
    form->BitBtn1Click(form->Force1);
    ASSERT_TRUE(ShowsInPanel1("Last update 12:00:00: clock right (offset +2 ms)")) << Panel(1);
}

TEST_F(ServiceFace, ARefusedUpdateSaysWhyInPanel1)
{
    StartService(R"js({"Update": {"error": ["org.freedesktop.PolicyKit1.Error.NotAuthorized",)js"
                 R"js( "Not authorised to update the clock"]}})js");
    MakeForm(true);
    form->BitBtn1Click(form->Force1);
    ASSERT_TRUE(ShowsInPanel1("Update failed: Not authorised to update the clock")) << Panel(1);
}

TEST_F(ServiceFace, AChangedAddressIsAskedOfTheServiceAndARefusalPutsItsOwnBack)
{
    StartService(
        R"js({"properties": {"Server": "192.0.2.7"}, "SetServer": {"store": "Server", "refuse": {"10.9.9.9":)js"
        R"js( ["org.freedesktop.PolicyKit1.Error.NotAuthorized", "Authentication is required"]}}})js");
    registry.keys.SetValue(kKey, "server", {platform::REG_SZ, std::string("10.0.0.1") + '\0'});
    MakeForm(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Field() == "192.0.2.7"; }));
    QLineEdit* editor = form->Edit1->Editor();
    const auto leaveWith = [&](const char* address) {
        editor->setText(address);
        Q_EMIT editor->editingFinished();
    };

    leaveWith("10.9.9.9");
    ASSERT_TRUE(ShowsInPanel1("Server not changed: Authentication is required")) << Panel(1);
    EXPECT_EQ(Field(), "192.0.2.7");
    leaveWith("192.0.2.7"); // unchanged: nothing to ask
    leaveWith("time.example.org");
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->serviceView->Status().server == "time.example.org"; }));
    EXPECT_EQ(Field(), "time.example.org");
    EXPECT_EQ(CallsUpToAMarker(),
              std::vector<std::string>({R"js(CALL SetServer ["10.9.9.9", true] interactive=True)js",
                                        R"js(CALL SetServer ["time.example.org", true] interactive=True)js"}));

    // The user's own address stays in their settings, and comes back once the service stops.
    ASSERT_TRUE(form->SaveSettings());
    EXPECT_EQ(StoredServer(), "10.0.0.1");
    Control("Release");
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form->ShowsService(); }));
    EXPECT_EQ(Field(), "10.0.0.1");
    EXPECT_EQ(form->clockKeeper->Settings().server.Text(), "10.0.0.1");
}

// A tray that says all is well while the service warns would mislead: the service's notices
// head the tip, each told once as it comes, and go with the service.
TEST_F(ServiceFace, TheServicesNoticesStandOnTheTipUntilClearedOrTheServiceStops)
{
    const std::string notice = "Another time synchroniser keeps the clock: stop chronyd or ntpd";
    const std::string result = "Last update 11:59:18: clock right";
    StartService(R"js({"properties": {"Server": "192.0.2.7", "LastResult": ")js" + result + R"js(", "Notice": ")js"
                 + notice + "\"}}");
    MakeForm(true);
    const std::string warned = "Tavrin Client: another time synchroniser keeps the clock\n" + result + "\n" + notice;
    ASSERT_TRUE(ProcessEventsUntil([&] { return LastTrayChange().tip == warned; })) << LastTrayChange().tip;
    ASSERT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.messages.back().second, notice);

    Control("Set", {R"js({"Notice": ""})js"});
    ASSERT_TRUE(ProcessEventsUntil([&] { return LastTrayChange().tip == "Tavrin Client Active\n" + result; }))
        << LastTrayChange().tip;
    Control("Set", {QString::fromStdString(R"js({"Notice": ")js" + notice + "\"}")});
    ASSERT_TRUE(ProcessEventsUntil([&] { return LastTrayChange().tip == warned; })) << LastTrayChange().tip;
    EXPECT_EQ(tray.messages.size(), 2u); // raised again after it was cleared

    Control("Release");
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form->ShowsService(); }));
    EXPECT_EQ(LastTrayChange().tip.find(notice), std::string::npos) << LastTrayChange().tip;
}

TEST_F(ServiceFace, TheKeeperComesBackOnlyOnceTheServiceStayedGoneAndStandsByAgainAtItsReturn)
{
    StartService(R"js({"properties": {"Server": "192.0.2.7", "LastResult": "Last update 11:59:18: clock right"}})js");
    MakeForm(true);
    ASSERT_TRUE(ShowsInPanel1("Last update 11:59:18: clock right"));
    EXPECT_FALSE(ReplyPortListens());

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Control("Release");
        LoopbackPeer request;
        ASSERT_TRUE(
            ProcessEventsUntil([&] { return static_cast<bool>(request = server.Accept(0ms)); }, serviceHandOver + 1s))
            << "no request within a second of the hand-over delay";
        EXPECT_TRUE(ReplyPortListens());
        EXPECT_FALSE(form->ShowsService());
        EXPECT_EQ(Field(), "127.0.0.1"); // the user's own, as their settings have none
        ASSERT_TRUE(ShowsInPanel1(kWaiting));
        EXPECT_EQ(request.Receive(64, 2s), "{9999TavrinClient1010}");

        Control("Own");
        ASSERT_TRUE(ProcessEventsUntil([&] { return form->ShowsService(); }));
        EXPECT_TRUE(form->clockKeeper->StandingBy());
        EXPECT_FALSE(ReplyPortListens());
        ASSERT_TRUE(ProcessEventsUntil([&] { return Field() == "192.0.2.7"; }));
    }
}

TEST_F(ServiceFace, WithoutTheServiceOrWithASilentBusTheKeeperBegins)
{
    const testsupport::Watchdog watchdog(60s); // a view that blocks fails instead of hanging
    const testsupport::SilentBus silent;
    for (const std::string& address : {bus.Address(), silent.Address()}) {
        SCOPED_TRACE(address);
        serviceBus = address;
        MakeForm(false);
        LoopbackPeer request;
        ASSERT_TRUE(ProcessEventsUntil([&] { return static_cast<bool>(request = server.Accept(0ms)); }));
        ASSERT_TRUE(ShowsInPanel1(kWaiting));
        EXPECT_EQ(request.Receive(64, 2s), "{9999TavrinClient1010}");
        form.reset();
    }
}
