// The window's request cycle and reply handling over real loopback connections: a test
// server takes the requests and sends replies back to the window's reply port.

#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"
#include "tests/support/hung_resolver.h"
#include "tests/support/log_lines.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/private_network.h"

#include "net/host_lookup.h"

#include <QAction>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

using app::kButtonFace;
using testsupport::LocalPortOf;
using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;
using namespace std::chrono_literals;

namespace {

constexpr const char* kWaiting = "Update Requested: Waiting for reply..";
constexpr const char* kError = "Error connecting to server.";

} // namespace

class RequestCycle : public testsupport::FormTest {
protected:
    void SetUp() override
    {
        ports.request = server.LocalPort();
        FormTest::SetUp();
        form->Edit1->setText("127.0.0.1");
    }

    std::string Panel1() const { return form->StatusBar1->PanelText(1); }

    // Runs the first tick's request through to its end and returns what the server got.
    std::string NextRequest()
    {
        EXPECT_TRUE(ProcessEventsUntil([&] { return Panel1() == kWaiting; })) << Panel1();
        LoopbackPeer connection = server.Accept(2s);
        EXPECT_GE(connection.Descriptor(), 0);
        std::string request = connection.Receive(64, 2s);
        EXPECT_TRUE(connection.SeesClose(2s));
        return request;
    }

    void Reply(const std::string& frames)
    {
        LoopbackPeer reply = LoopbackPeer::ConnectedTo(LocalPortOf(form->ServerSocket1->Socket()->Descriptor()));
        reply.Send(frames);
        reply.Close();
    }

    // Lets the poll tick only when the test says so, to stop between two events.
    void DrivePollByHand() { form->LocalGroupTimer->setInterval(3600 * 1000); }

    // Counts the window's attempts from here on: each begins with a lookup.
    void CountAttempts()
    {
        const auto lookup = form->ClientSocket1->OnLookup;
        form->ClientSocket1->OnLookup = [this, lookup](QObject* sender, net::TCustomWinSocket* socket) {
            ++attempts;
            lookup(sender, socket);
        };
    }

    bool Idle() const
    {
        return form->FOpenPending && !form->FConnected && !form->FConnectFailed && !form->LocalGroupTimer->Enabled();
    }

    LoopbackPeer server = LoopbackPeer::Listening();
    int attempts = 0;
};

TEST_F(RequestCycle, TheFirstRequestCarries9999AndEndsIdle)
{
    Tick();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(form->FErrorIcon);
    EXPECT_FALSE(form->ClientSocket1->Active());
}

TEST_F(RequestCycle, EachRequestEchoesTheLastCodeReceived)
{
    Tick();
    NextRequest();
    for (const auto& [field, request] :
         std::vector<std::pair<std::string, std::string>>{{"0042", "{0042TavrinClient1010}"},
                                                          {"0007", "{0007TavrinClient1010}"},
                                                          {" -12", "{000-12TavrinClient1010}"}}) {
        Reply("{TAVRIN_1,0,2," + field + "1211371200}");
        ASSERT_TRUE(ProcessEventsUntil([&] { return form->StatusBar1->PanelText(1).rfind("Last Update: ", 0) == 0; }));
        form->Force1->trigger();
        EXPECT_EQ(NextRequest(), request);
    }
    EXPECT_EQ(clockSetter.set.size(), 3u);
}

TEST_F(RequestCycle, AReplySetsTheClockAndTheBadge)
{
    Tick();
    NextRequest();
    Reply("{TAVRIN_1,0,2,00421211371200}{TAVRIN_3,0,1,00431211371260}");
    ASSERT_TRUE(ProcessEventsUntil([&] { return clockSetter.set.size() == 2; }));
    EXPECT_EQ(clockSetter.set, std::vector<std::int64_t>({1211371200, 1211371260}));
    EXPECT_EQ(form->tsStatus->Caption(), "NTP");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FFFFu);
    EXPECT_EQ(form->FEchoCode, 43);
    EXPECT_EQ(Panel1().rfind("Last Update: ", 0), 0u);
}

TEST_F(RequestCycle, ForceNowDuringAnAttemptSendsTheLatestTextOnce)
{
    DrivePollByHand();
    Tick();
    form->LocalGroupTimerTimer(form->LocalGroupTimer); // opens
    EXPECT_FALSE(form->FOpenPending);
    form->FEchoCode = 42;
    form->Force1->trigger();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->FConnected; }));
    form->LocalGroupTimerTimer(form->LocalGroupTimer); // sends and closes
    LoopbackPeer connection = server.Accept(2s);
    EXPECT_EQ(connection.Receive(64, 2s), "{0042TavrinClient1010}");
    EXPECT_TRUE(Idle());

    // The marker: the next fetch's connection is the next one the server takes.
    form->FEchoCode = 7;
    form->Force1->trigger();
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->FConnected; }));
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{0007TavrinClient1010}");
}

TEST_F(RequestCycle, AnUnreachableServerGetsOneAttemptPerFetch)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    form.reset();
    ports.request = refusing.LocalPort();
    MakeForm();
    CountAttempts();
    form->Edit1->setText("127.0.0.1");
    form->tsStatus->SetCaption("GPS");

    Tick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() == kError; }));
    EXPECT_TRUE(form->FErrorIcon);
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown");
    EXPECT_EQ(form->tsStatus->Color(), kButtonFace);
    EXPECT_TRUE(alerts.shown.empty()); // reported in the window, not in a box
    const std::size_t requests = tray.requests.size();
    EXPECT_FALSE(tray.requests.back().image.isNull());

    // The marker: the next fetch's attempt; its lookup clears the icon, its error sets it again.
    form->Force1->trigger();
    ASSERT_TRUE(ProcessEventsUntil([&] { return tray.requests.size() >= requests + 2 && Idle(); }));
    EXPECT_EQ(attempts, 2); // no retry in between
    EXPECT_EQ(tray.requests[requests].image,
              form->Image1->pixmap().toImage().convertToFormat(tray.requests[requests].image.format()));
    EXPECT_TRUE(form->FErrorIcon);
    EXPECT_EQ(Panel1(), kError);
}

TEST_F(RequestCycle, AServerThatClosesBeforeTheRequestLeavesTheCycleIdle)
{
    DrivePollByHand();
    Tick();
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->FConnected; }));
    server.Accept(2s).Close();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form->FConnected; }));
    EXPECT_TRUE(Idle());
    EXPECT_EQ(Panel1(), kError);
    EXPECT_TRUE(form->FErrorIcon);

    form->Force1->trigger(); // the next fetch connects again
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->FConnected; }));
    EXPECT_FALSE(form->FErrorIcon);
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{9999TavrinClient1010}");
}

TEST_F(RequestCycle, AnOpenThatFailsAtOnceEndsTheAttemptQuietly)
{
    CountAttempts();
    form->Edit1->setText(""); // nothing to connect to: the open raises before any event
    Tick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Panel1() == kError; }));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(form->FErrorIcon);
    EXPECT_TRUE(alerts.shown.empty());

    // The marker: the next fetch's attempt.
    form->Edit1->setText("127.0.0.1");
    form->Force1->trigger();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(attempts, 2); // not again every 10 ms in between
}

TEST_F(RequestCycle, AReAimRefusedWhileConnectedIsShownAndTheRequestStillGoes)
{
    DrivePollByHand();
    Tick();
    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->FConnected; }));

    form->Edit1->setText("127.0.0.2");
    form->Timer1->Tag = 1; // the countdown's fetch falls into the connected moment
    Tick();
    EXPECT_EQ(Panel1(), "Can't change value while socket is active");
    EXPECT_EQ(form->Timer1->Tag, 1200);
    EXPECT_TRUE(form->LocalGroupTimer->Enabled());

    form->LocalGroupTimerTimer(form->LocalGroupTimer);
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{9999TavrinClient1010}");
    EXPECT_EQ(Panel1(), kWaiting);
    EXPECT_EQ(form->ClientSocket1->Address(), "127.0.0.1");
}

TEST_F(RequestCycle, ReachabilityIsLoggedAndNotifiedOncePerChange)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    form->ClientSocket1->SetPort(refusing.LocalPort());
    const testsupport::LogLines log;

    Tick(); // at 12:00:00
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() == kError; }));
    clock.Set(12, 5, 0);
    Tick();
    const std::size_t requests = tray.requests.size();
    form->Force1->trigger(); // fails again: its lookup clears the face, its error sets it
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && form->FErrorIcon && tray.requests.size() >= requests + 2; }));

    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\nServer unreachable since 12:00:00");
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(log.Count("tavrin.net: server 127.0.0.1 unreachable: Connection refused"), 1) << log.Texts().size();

    form->ClientSocket1->SetPort(server.LocalPort());
    form->Force1->trigger();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(log.Count("tavrin.net: server 127.0.0.1 reachable again (unreachable since 12:00:00)"), 1);
    EXPECT_TRUE(form->unreachableSince.empty());
    EXPECT_TRUE(alerts.shown.empty());
}

// Names go through the system's resolver, in a network namespace of the test's own so that
// no question leaves the machine.
class ServerName : public RequestCycle {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        server = LoopbackPeer::Listening(); // in the namespace
        RequestCycle::SetUp();
    }
};

TEST_F(ServerName, IsLookedUpAndItsAddressIsTheServers)
{
    form->Edit1->setText("localhost");
    Tick();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(form->ClientSocket1->Host(), "localhost");
    EXPECT_EQ(form->ServerAddress(), "127.0.0.1");
    form->Edit1->setText("LocalHost"); // names know no case
    EXPECT_EQ(form->ServerAddress(), "127.0.0.1");
}

TEST_F(ServerName, ThatDoesNotResolveHasItsOwnTextAndTheNextFetchTriesAgain)
{
    const testsupport::LogLines log;
    form->Edit1->setText("no-such-host.invalid");
    Tick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && form->FErrorIcon; }));
    EXPECT_EQ(Panel1(), "Server name not found: no-such-host.invalid");
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown");
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\nServer name not found: no-such-host.invalid");
    ASSERT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.messages[0].second, "Server name not found: no-such-host.invalid");
    EXPECT_EQ(log.Count("tavrin.net: server no-such-host.invalid unreachable"), 1);
    EXPECT_EQ(form->ServerAddress(), "");
    EXPECT_TRUE(alerts.shown.empty());

    // The marker: the server's first connection is the next fetch's.
    form->Edit1->setText("localhost");
    form->FEchoCode = 7;
    form->Force1->trigger();
    EXPECT_EQ(NextRequest(), "{0007TavrinClient1010}");
}

// Names go to a name server that never answers, as a dead one behind a live network does.
class HungNameServer : public RequestCycle {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterHungResolver(); !why.empty())
            GTEST_SKIP() << why;
        server = LoopbackPeer::Listening(); // in the namespace
        RequestCycle::SetUp();
    }
};

TEST_F(HungNameServer, ANumericAddressTypedDuringTheLookupIsUsedByTheNextFetchAtOnce)
{
    form->Edit1->setText("timeserver.test");
    Tick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->ClientSocket1->Socket()->LookupPending(); }));

    form->Edit1->setText("127.0.0.1");
    form->Force1->trigger();
    // NextRequest waits 5 s at most: half the lookup's patience, so not the bound ended it.
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(net::PendingLookups(), 1); // the resolver still asks
    EXPECT_EQ(form->ServerAddress(), "127.0.0.1");
    EXPECT_FALSE(form->FErrorIcon);
}

TEST_F(HungNameServer, ALookupWithoutAnswerEndsAfterItsBoundWithItsOwnText)
{
    form->ClientSocket1->Socket()->SetLookupPatience(300ms);
    const testsupport::LogLines log;
    form->Edit1->setText("timeserver.test");
    Tick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && form->FErrorIcon; }));
    EXPECT_EQ(Panel1(), "Server name not found: timeserver.test (no answer)");
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\nServer name not found: timeserver.test (no answer)");
    EXPECT_EQ(log.Count("tavrin.net: server timeserver.test unreachable: no answer to its lookup"), 1);
    EXPECT_EQ(net::PendingLookups(), 1); // the bound ended it, not the resolver
    EXPECT_TRUE(alerts.shown.empty());

    // "Force Now!" asks again, and fails again the same way.
    form->Force1->trigger();
    EXPECT_EQ(Panel1(), "Attempting to connect to server..");
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() != "Attempting to connect to server.."; }));
    EXPECT_EQ(Panel1(), "Server name not found: timeserver.test (no answer)");

    // The marker: a reachable server's request is the next the server sees.
    form->Edit1->setText("localhost");
    form->Force1->trigger();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
}
