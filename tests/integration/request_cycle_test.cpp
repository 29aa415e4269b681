// The keeper's request cycle and reply handling over real loopback connections: a test
// server takes the requests and sends replies back to the keeper's reply port.

#include "tests/support/event_loop.h"
#include "tests/support/hung_resolver.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/private_network.h"

#include "net/host_lookup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <thread>

using Result = testsupport::RecordingFace::Result;
using testsupport::LocalPortOf;
using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;
using namespace std::chrono_literals;

namespace {

constexpr const char* kWaiting = "Update Requested: Waiting for reply..";
constexpr const char* kError = "Error connecting to server.";

} // namespace

class RequestCycle : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        ports.request = server.LocalPort();
        KeeperTest::SetUp();
    }

    std::string Panel1() const { return face.Status(); }

    // Runs the request under way (at first, the keeper's first) through to its end and
    // returns what the server got.
    std::string NextRequest()
    {
        EXPECT_TRUE(ProcessEventsUntil([&] { return Panel1() == kWaiting; })) << Panel1();
        LoopbackPeer connection = server.Accept(2s);
        EXPECT_GE(connection.Descriptor(), 0);
        std::string request = connection.Receive(64, 2s);
        EXPECT_TRUE(connection.SeesClose(2s));
        return request;
    }

    // The server's way: it keeps its socket until the window has taken the connection.
    void Reply(const std::string& frames)
    {
        replies.push_back(LoopbackPeer::ConnectedTo(LocalPortOf(keeper->ServerSocket1->Socket()->Descriptor())));
        replies.back().Send(frames);
        replies.back().FinishSending();
    }

    // Lets the poll tick only when the test says so, to stop between two events; the
    // request is started by hand too.
    void DrivePollByHand()
    {
        keeper->LocalGroupTimer->setInterval(3600 * 1000);
        keeper->FetchTimeAndDate();
    }
    void Poll() { keeper->LocalGroupTimerTimer(keeper->LocalGroupTimer); }
    void ForceNow() { keeper->BitBtn1Click(nullptr); }

    // Counts the keeper's attempts from here on: each begins with a lookup.
    void CountAttempts()
    {
        const auto lookup = keeper->ClientSocket1->OnLookup;
        keeper->ClientSocket1->OnLookup = [this, lookup](QObject* sender, net::TCustomWinSocket* socket) {
            ++attempts;
            lookup(sender, socket);
        };
    }

    bool Idle() const
    {
        return keeper->FOpenPending && !keeper->FConnected && !keeper->FConnectFailed
            && !keeper->LocalGroupTimer->isActive();
    }

    LoopbackPeer server = LoopbackPeer::Listening();
    std::vector<LoopbackPeer> replies;
    int attempts = 0;
};

TEST_F(RequestCycle, TheFirstRequestCarries9999AndEndsIdle)
{
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(face.errorFace);
    EXPECT_FALSE(keeper->ClientSocket1->Active());
}

TEST_F(RequestCycle, EachRequestEchoesTheLastCodeReceived)
{
    NextRequest();
    for (const auto& [field, request] :
         std::vector<std::pair<std::string, std::string>>{{"0042", "{0042TavrinClient1010}"},
                                                          {"0007", "{0007TavrinClient1010}"},
                                                          {" -12", "{000-12TavrinClient1010}"}}) {
        Reply("{TAVRIN_1,0,2," + field + "1211371200}");
        ASSERT_TRUE(ProcessEventsUntil([&] { return Panel1().rfind("Last Update: ", 0) == 0; }));
        ForceNow();
        EXPECT_EQ(NextRequest(), request);
    }
    // The first set the clock; the others found it right.
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371200}));
}

TEST_F(RequestCycle, AReplySetsTheClockAndTheBadge)
{
    NextRequest();
    Reply("{TAVRIN_1,0,2,00421211371200}{TAVRIN_3,0,1,00431211371260}");
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 43; }));
    // The first frame steps the clock; the second began its way before that, and moves nothing.
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371200}));
    ExpectBadge(3, 1);
    EXPECT_EQ(keeper->FEchoCode, 43);
    EXPECT_EQ(Panel1().rfind("Last Update: ", 0), 0u);
}

TEST_F(RequestCycle, ForceNowDuringAnAttemptSendsTheLatestTextOnce)
{
    DrivePollByHand();
    Poll(); // opens
    EXPECT_FALSE(keeper->FOpenPending);
    keeper->FEchoCode = 42;
    ForceNow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; }));
    Poll(); // sends and closes
    LoopbackPeer connection = server.Accept(2s);
    EXPECT_EQ(connection.Receive(64, 2s), "{0042TavrinClient1010}");
    EXPECT_TRUE(Idle());

    // The marker: the next fetch's connection is the next one the server takes.
    keeper->FEchoCode = 7;
    ForceNow();
    Poll();
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; }));
    Poll();
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{0007TavrinClient1010}");
}

TEST_F(RequestCycle, AnUnreachableServerGetsOneAttemptPerFetch)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    ports.request = refusing.LocalPort();
    MakeKeeper();
    CountAttempts();
    face.badge = {1, 2};

    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() == kError; }));
    EXPECT_TRUE(face.errorFace);
    ExpectUnknownBadge();
    const std::size_t results = face.results.size();
    face.errorFacesShown.clear();

    // The marker: the next fetch's attempt; its lookup clears the face, its error sets it again.
    ForceNow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return face.results.size() > results && Idle(); }));
    EXPECT_EQ(attempts, 2); // no retry in between
    EXPECT_EQ(face.errorFacesShown, std::vector<bool>({false}));
    EXPECT_TRUE(face.errorFace);
    EXPECT_EQ(Panel1(), kError);
}

TEST_F(RequestCycle, AServerThatClosesBeforeTheRequestLeavesTheCycleIdle)
{
    DrivePollByHand();
    Poll();
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; }));
    server.Accept(2s).Close();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !keeper->FConnected; }));
    EXPECT_TRUE(Idle());
    EXPECT_EQ(Panel1(), kError);
    EXPECT_TRUE(face.errorFace);

    ForceNow(); // the next fetch connects again
    Poll();
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; }));
    EXPECT_FALSE(face.errorFace);
    Poll();
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{9999TavrinClient1010}");
}

TEST_F(RequestCycle, AnOpenThatFailsAtOnceEndsTheAttemptQuietly)
{
    CountAttempts();
    SetServer(""); // nothing to connect to: the open raises before any event
    ASSERT_TRUE(ProcessEventsUntil([&] { return Panel1() == kError; }));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(face.errorFace);

    // The marker: the next fetch's attempt.
    SetServer("127.0.0.1");
    ForceNow();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(attempts, 2); // not again every 10 ms in between
}

TEST_F(RequestCycle, AReAimRefusedWhileConnectedIsShownAndTheRequestStillGoes)
{
    DrivePollByHand();
    Poll();
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; }));

    SetServer("127.0.0.2");
    ForceNow(); // a fetch that falls into the connected moment
    EXPECT_EQ(Panel1(), "Can't change value while socket is active");
    EXPECT_TRUE(keeper->LocalGroupTimer->isActive());

    Poll();
    EXPECT_EQ(server.Accept(2s).Receive(64, 2s), "{9999TavrinClient1010}");
    EXPECT_EQ(Panel1(), kWaiting);
    EXPECT_EQ(keeper->ClientSocket1->Address(), "127.0.0.1");
}

TEST_F(RequestCycle, ReachabilityIsLoggedAndNotifiedOncePerChange)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    keeper->ClientSocket1->SetPort(refusing.LocalPort());
    const testsupport::LogLines log;

    // at 12:00:00
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() == kError; }));
    clock.Set(12, 5, 0);
    ForceNow(); // fails again: its lookup clears the face, its error sets it
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && face.results.size() == 2; }));

    const Result unreachable{"Server unreachable since 12:00:00", true};
    EXPECT_EQ(face.results, std::vector<Result>({unreachable, unreachable}));
    EXPECT_EQ(log.Count("tavrin.net: server 127.0.0.1 unreachable: Connection refused"), 1) << log.Texts().size();

    keeper->ClientSocket1->SetPort(server.LocalPort());
    ForceNow();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(log.Count("tavrin.net: server 127.0.0.1 reachable again (unreachable since 12:00:00)"), 1);
    EXPECT_TRUE(keeper->unreachableSince.empty());
}

// A reply is judged by when the kernel received it: a loop that got round to it late neither
// refuses it nor takes the time it waited for the clock's error.
TEST_F(RequestCycle, AReplyReadLateIsJudgedByWhenItArrived)
{
    keeper->replyDeadline = 1s;
    struct Case {
        const char* what;
        int pcMillisecondsAtArrival; // past the server's second
        bool stepped;
    };
    const Case cases[] = {{"right when it arrived", 300, false}, {"3.3 s ahead when it arrived", 3300, true}};
    for (int i = 0; i < 2; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        MakeKeeper(); // an estimate of its own
        keeper->replyDeadline = 1s;
        const std::int64_t second = 1211371200 + i;
        clock.SetUtc(second, c.pcMillisecondsAtArrival); // the fake clock stands still until the stall
        NextRequest();
        Reply("{TAVRIN_1,0,2,004" + std::to_string(i) + std::to_string(second) + "}");
        std::this_thread::sleep_for(1500ms); // the loop stalls, past the deadline
        clock.utcNow += 1500ms;              // and the PC's clock goes on meanwhile, as a real one does
        ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 40 + i; }));

        if (c.stepped) {
            // By the offset at its arrival, (2.3 s, 3.3 s]: the time it waited plays no part.
            ASSERT_EQ(clockSetter.steps.size(), 1u);
            EXPECT_GE(clockSetter.steps[0], -2850ms);
            EXPECT_LE(clockSetter.steps[0], -2750ms);
            clockSetter.ForgetSteps();
        } else {
            EXPECT_TRUE(clockSetter.steps.empty());
            ASSERT_FALSE(face.results.empty());
            EXPECT_THAT(face.results.back().line, testing::ContainsRegex(": offset -(19[0-9]|200) ms"));
        }
    }
}

TEST_F(RequestCycle, AReplyThatArrivesAfterTheDeadlineLeavesTheClockAloneAndIsLoggedOncePerRequest)
{
    keeper->replyDeadline = 300ms;
    const testsupport::LogLines log("tavrin.sync");
    for (int request = 1; request <= 2; ++request) {
        if (request > 1)
            ForceNow();
        NextRequest();
        testsupport::ProcessEventsFor(500ms); // paces the replies: past the deadline
        for (const int echo : {10 * request, 10 * request + 1}) {
            Reply("{TAVRIN_1,0,2,00" + std::to_string(echo) + "1211371200}");
            ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == echo; }));
        }
    }
    EXPECT_TRUE(clockSetter.steps.empty());
    EXPECT_TRUE(clockSetter.steps.empty());
    const std::regex line(R"(reply received (\d+\.\d) s after the request: the clock is left alone)");
    std::vector<double> roundTrips;
    for (const std::string& text : log.Texts())
        if (std::smatch match; std::regex_match(text, match, line))
            roundTrips.push_back(std::stod(match[1]));
    ASSERT_EQ(roundTrips.size(), 2u) << testing::PrintToString(log.Texts());
    for (const double roundTrip : roundTrips)
        EXPECT_GE(roundTrip, 0.5);

    // The marker: a reply in time to the next request sets the clock.
    ForceNow();
    NextRequest();
    Reply("{TAVRIN_1,0,2,00991211371200}");
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 99; }));
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371200}));
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
    SetServer("localhost");
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(keeper->ClientSocket1->Host(), "localhost");
    EXPECT_EQ(keeper->ServerAddress(), "127.0.0.1");
    SetServer("LocalHost"); // names know no case
    EXPECT_EQ(keeper->ServerAddress(), "127.0.0.1");
}

TEST_F(ServerName, ThatDoesNotResolveHasItsOwnTextAndTheNextFetchTriesAgain)
{
    const testsupport::LogLines log;
    SetServer("no-such-host.invalid");
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && face.errorFace; }));
    EXPECT_EQ(Panel1(), "Server name not found: no-such-host.invalid");
    ExpectUnknownBadge();
    EXPECT_EQ(face.results, std::vector<Result>({{"Server name not found: no-such-host.invalid", true}}));
    EXPECT_EQ(log.Count("tavrin.net: server no-such-host.invalid unreachable"), 1);
    EXPECT_EQ(keeper->ServerAddress(), "");

    // The marker: the server's first connection is the next fetch's.
    SetServer("localhost");
    keeper->FEchoCode = 7;
    ForceNow();
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
    SetServer("timeserver.test");
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->ClientSocket1->Socket()->LookupPending(); }));

    SetServer("127.0.0.1");
    ForceNow();
    // NextRequest waits 5 s at most: half the lookup's patience, so not the bound ended it.
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(net::PendingLookups(), 1); // the resolver still asks
    EXPECT_EQ(keeper->ServerAddress(), "127.0.0.1");
    EXPECT_FALSE(face.errorFace);
}

TEST_F(HungNameServer, ALookupWithoutAnswerEndsAfterItsBoundWithItsOwnText)
{
    keeper->ClientSocket1->Socket()->SetLookupPatience(300ms);
    const testsupport::LogLines log;
    SetServer("timeserver.test");
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && face.errorFace; }));
    EXPECT_EQ(Panel1(), "Server name not found: timeserver.test (no answer)");
    EXPECT_EQ(face.results.back(), (Result{"Server name not found: timeserver.test (no answer)", true}));
    EXPECT_EQ(log.Count("tavrin.net: server timeserver.test unreachable: no answer to its lookup"), 1);
    EXPECT_EQ(net::PendingLookups(), 1); // the bound ended it, not the resolver

    // "Force Now!" asks again, and fails again the same way.
    ForceNow();
    EXPECT_EQ(Panel1(), "Attempting to connect to server..");
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Panel1() != "Attempting to connect to server.."; }));
    EXPECT_EQ(Panel1(), "Server name not found: timeserver.test (no answer)");

    // The marker: a reachable server's request is the next the server sees.
    SetServer("localhost");
    ForceNow();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
}

TEST_F(HungNameServer, ANameForNoUsableAddressHasItsOwnTextAndIsNeverConnectedTo)
{
    const testsupport::LogLines log;
    SetServer("nowhere.test"); // 0.0.0.0 alone: this PC itself to connect(), nobody's server
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && face.errorFace; }));
    EXPECT_EQ(Panel1(), "Server name not found: nowhere.test (no usable address)");
    ExpectUnknownBadge();
    EXPECT_EQ(face.results.back(), (Result{"Server name not found: nowhere.test (no usable address)", true}));
    EXPECT_EQ(log.Count("tavrin.net: server nowhere.test unreachable: its only address is 0.0.0.0"), 1);
    EXPECT_EQ(log.Count("reachable again"), 0);
    EXPECT_EQ(keeper->ServerAddress(), "");
    EXPECT_FALSE(server.Accept(0ms)) << "a connection went to 0.0.0.0";

    // Beside a usable address, which the resolver lists before 0.0.0.0, the name serves.
    SetServer("also-here.test");
    ForceNow();
    EXPECT_EQ(NextRequest(), "{9999TavrinClient1010}");
    EXPECT_EQ(keeper->ServerAddress(), "127.0.0.1");
}
