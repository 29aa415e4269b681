// The client component against plain sockets on loopback.

#include "framework/main_thread.h"
#include "net/host_lookup.h"
#include "net/win_socket.h"
#include "tests/integration/socket_test.h"

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::Pair;
using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;
using testsupport::RaisedBy;

const std::string kRequest = "{0042TavrinClient1010}";

class ClientSocketTest : public testsupport::SocketTest {
protected:
    void SetUp() override
    {
        SocketTest::SetUp();
        server = LoopbackPeer::Listening();
        client = std::make_unique<net::TClientSocket>(nullptr);
        client->OnLookup = Note("lookup");
        client->OnConnecting = Note("connecting");
        client->OnConnect = Note("connect");
        client->OnDisconnect = Note("disconnect");
        client->OnRead = Note("read");
        client->OnWrite = Note("write");
        client->OnError = [this](QObject* sender, net::TCustomWinSocket*, net::TErrorEvent errorEvent, int& code) {
            EXPECT_EQ(sender, client.get());
            errors.emplace_back(errorEvent, code);
            if (consumeErrors)
                code = 0;
        };
    }

    void ReleaseSockets() override
    {
        client.reset();
        server.Close();
        accepted.Close();
    }

    net::TSocketNotifyEvent Note(const char* name)
    {
        return [this, name](QObject* sender, net::TCustomWinSocket* socket) {
            EXPECT_EQ(sender, client.get());
            EXPECT_EQ(socket, client->Socket());
            events.push_back(name);
        };
    }

    long Count(const std::string& name) const { return std::count(events.begin(), events.end(), name); }

    void AimAt(int port)
    {
        client->SetAddress("127.0.0.1");
        client->SetPort(port);
    }

    // Connects to the listening peer and takes the connection on its side.
    void Connect()
    {
        AimAt(server.LocalPort());
        client->SetActive(true);
        ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 1; }));
        accepted = server.Accept();
        ASSERT_NE(accepted.Descriptor(), -1);
    }

    // A failed lookup that the handler left alone: reported in a box, and nothing else.
    void ExpectFailedLookupShown()
    {
        ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
        EXPECT_THAT(Displayed(),
                    ElementsAre("Windows socket error: Name or service not known (11001), on API 'ASync Lookup'"));
        EXPECT_THAT(events, ElementsAre("lookup"));
        EXPECT_THAT(errors, ElementsAre(Pair(net::erLookup, net::WSAHOST_NOT_FOUND)));
    }

    std::unique_ptr<net::TClientSocket> client;
    LoopbackPeer server;
    LoopbackPeer accepted;
    std::vector<std::string> events;
    std::vector<std::pair<net::TErrorEvent, int>> errors;
    bool consumeErrors = false;
};

// Whether the other end's close has reached the socket, read or not.
bool PeerHasClosed(int descriptor)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE_WAIT;
}

// Replaces the system's resolver for the life of the guard.
class ResolverGuard {
public:
    explicit ResolverGuard(net::HostResolver resolver) { net::SetHostResolver(std::move(resolver)); }
    ~ResolverGuard() { net::SetHostResolver({}); }
    ResolverGuard(const ResolverGuard&) = delete;
    ResolverGuard& operator=(const ResolverGuard&) = delete;
};

TEST_F(ClientSocketTest, ActivationReportsLookupAndConnectingBeforeReturningThenConnectFromTheLoop)
{
    bool activeInsideConnect = false;
    client->OnConnect = [&](QObject*, net::TCustomWinSocket*) {
        activeInsideConnect = client->Active();
        events.push_back("connect");
    };
    AimAt(server.LocalPort());

    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup", "connecting"));
    EXPECT_FALSE(client->Active());

    ASSERT_TRUE(ProcessEventsUntil([this] { return events.size() == 4; }));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "connect", "write"));
    EXPECT_TRUE(activeInsideConnect);
    EXPECT_TRUE(client->Socket()->IsConnected());
}

TEST_F(ClientSocketTest, RequestIsSentWhole)
{
    EXPECT_EQ(client->Socket()->WriteText(kRequest), 0); // not connected: nothing is sent

    Connect();
    EXPECT_EQ(client->Socket()->WriteText(kRequest), 22);
    EXPECT_EQ(accepted.Receive(kRequest.size() + 1, 100ms), kRequest);
}

TEST_F(ClientSocketTest, ReadingAndPeerAddressGiveNothingWithoutAConnection)
{
    EXPECT_EQ(client->Socket()->ReadText(), "");
    EXPECT_EQ(client->Socket()->PeerAddress(), "");
    EXPECT_EQ(client->Socket()->ReceiveBytes(nullptr, -1), 0);

    Connect();
    EXPECT_EQ(client->Socket()->ReadText(), "");
    EXPECT_EQ(client->Socket()->PeerAddress(), "127.0.0.1");
}

TEST_F(ClientSocketTest, DeactivatingReportsDisconnectInsideTheSetterWhileTheSocketIsOpen)
{
    Connect();
    int descriptorInside = -1;
    bool activeInside = true;
    std::string peerInside;
    client->OnDisconnect = [&](QObject*, net::TCustomWinSocket* socket) {
        descriptorInside = socket->Descriptor();
        activeInside = client->Active();
        peerInside = socket->PeerAddress();
        events.push_back("disconnect");
    };

    client->SetActive(false);

    EXPECT_EQ(events.back(), "disconnect");
    EXPECT_NE(descriptorInside, -1);
    EXPECT_FALSE(activeInside);
    EXPECT_EQ(peerInside, "127.0.0.1");
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
    EXPECT_TRUE(accepted.SeesClose());
}

TEST_F(ClientSocketTest, PeerClosingFirstDisconnects)
{
    Connect();
    accepted.Close();

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("disconnect") == 1; }));
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
    EXPECT_EQ(Count("read"), 0);
}

TEST_F(ClientSocketTest, ReplySentWithTheCloseArrivesBeforeTheDisconnect)
{
    std::string received;
    client->OnRead = [&](QObject*, net::TCustomWinSocket* socket) {
        received += socket->ReadText();
        events.push_back("read");
    };
    AimAt(server.LocalPort());
    client->SetActive(true);
    // The peer answers and closes before the client has seen its connection complete.
    accepted = server.Accept();
    accepted.Send("{reply}");
    accepted.Close();

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("disconnect") == 1; }));
    EXPECT_EQ(received, "{reply}");
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "connect", "write", "read", "disconnect"));
}

TEST_F(ClientSocketTest, NotificationsQueuedForAClosedSocketAreDropped)
{
    // The writable notification queued with the connect belongs to the socket closed here,
    // even when the new socket gets the same descriptor number.
    client->OnConnect = [this](QObject*, net::TCustomWinSocket*) {
        events.push_back("connect");
        if (Count("connect") == 1) {
            client->SetActive(false);
            client->SetActive(true);
        }
    };
    AimAt(server.LocalPort());
    client->SetActive(true);

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("connect") == 2 && Count("write") == 1; }));
    // The marker: bytes on the second connection, reported after anything still queued.
    server.Accept(); // the first connection, which the client closed
    accepted = server.Accept();
    accepted.Send("m");
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("read") == 1; }));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "connect", "disconnect", "lookup", "connecting", "connect",
                                    "write", "read"));
}

TEST_F(ClientSocketTest, ReadableAgainOnlyAfterAReceiveThatLeavesDataWaiting)
{
    Connect();
    std::string received;
    int reads = 0;
    client->OnRead = [&](QObject*, net::TCustomWinSocket* socket) {
        ++reads;
        char part[4];
        const int count = socket->ReceiveBytes(part, sizeof part);
        received.append(part, static_cast<std::size_t>(std::max(count, 0)));
    };
    accepted.Send("0123456789");
    ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == 10; }));
    EXPECT_EQ(received, "0123456789");
    EXPECT_EQ(reads, 3);

    // A handler that receives nothing is not called again for the same data, and the
    // close that follows waits until that data has been read.
    reads = 0;
    client->OnRead = [&](QObject*, net::TCustomWinSocket*) { ++reads; };
    accepted.Send("x");
    accepted.Close();
    ASSERT_TRUE(ProcessEventsUntil([&] { return reads == 1 && PeerHasClosed(client->Socket()->Descriptor()); }));
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(Count("disconnect"), 0);

    EXPECT_EQ(client->Socket()->ReadText(), "x");
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("disconnect") == 1; }));
}

TEST_F(ClientSocketTest, WritableAgainAfterASendThatWouldBlock)
{
    Connect();
    const std::string chunk(std::size_t{64} * 1024, 'x');
    std::size_t total = 0;
    int sent = 0;
    for (int attempt = 0; attempt < 4096 && (sent = client->Socket()->WriteText(chunk)) > 0; ++attempt)
        total += static_cast<std::size_t>(sent);
    ASSERT_EQ(sent, -1);
    EXPECT_TRUE(client->Socket()->IsConnected());
    EXPECT_TRUE(errors.empty());
    accepted.Send("m"); // the marker, reported after anything else the socket had to say
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("read") == 1; }));
    EXPECT_EQ(Count("write"), 1);

    EXPECT_EQ(accepted.Receive(total).size(), total);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 2; }));
}

TEST_F(ClientSocketTest, RefusalConsumedByTheHandlerLeavesNothingOpenAndAllowsANewAttempt)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    consumeErrors = true;
    AimAt(refusing.LocalPort());

    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !errors.empty(); }));
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Socket()->Descriptor(), -1); // released without any event

    client->SetActive(false);
    EXPECT_EQ(events.size(), 2u);

    // The second attempt is the marker: anything more of the first would have come before.
    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "lookup", "connecting"));
    ASSERT_TRUE(ProcessEventsUntil([this] { return errors.size() == 2; }));
    EXPECT_THAT(errors,
                ElementsAre(Pair(net::erConnect, net::WSAECONNREFUSED), Pair(net::erConnect, net::WSAECONNREFUSED)));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "lookup", "connecting"));
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(ClientSocketTest, RefusalNotConsumedReachesTheCentralDisplayWithTheCodeAsTheHandlerLeftIt)
{
    const LoopbackPeer refusing = LoopbackPeer::BoundOnly();
    AimAt(refusing.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    EXPECT_THAT(Displayed(), ElementsAre("Asynchronous socket error 10061"));
    EXPECT_EQ(Count("disconnect"), 0);

    client->OnError = [](QObject*, net::TCustomWinSocket*, net::TErrorEvent, int& code) { code = 4242; };
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return alerts.shown.size() == 2; }));
    EXPECT_EQ(Displayed().back(), "Asynchronous socket error 4242");

    client->OnError = nullptr;
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return alerts.shown.size() == 3; }));
    EXPECT_EQ(Displayed().back(), "Asynchronous socket error 10061");
}

TEST_F(ClientSocketTest, ActivatingWithoutAnAddressRaisesAfterLookupAndDisconnect)
{
    EXPECT_EQ(RaisedBy([this] { client->SetActive(true); }), "No address specified");
    EXPECT_THAT(events, ElementsAre("lookup", "disconnect"));
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
}

TEST_F(ClientSocketTest, HostNameInAddressIsNotLookedUpButAimedAtTheBroadcastAddress)
{
    in_addr_t aimedAt = 0;
    bool lookupPending = true;
    client->OnConnecting = [&](QObject*, net::TCustomWinSocket* socket) {
        aimedAt = socket->AddressRecord().sin_addr.s_addr;
        lookupPending = socket->LookupPending();
        events.push_back("connecting");
    };
    client->SetAddress("localhost");
    client->SetPort(6645);

    EXPECT_EQ(RaisedBy([this] { client->SetActive(true); }),
              "Windows socket error: Network is unreachable (10051), on API 'connect'");
    EXPECT_EQ(aimedAt, INADDR_NONE);
    EXPECT_FALSE(lookupPending);
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "disconnect"));
    EXPECT_FALSE(client->Active());
}

TEST_F(ClientSocketTest, AttemptAfterAFailedLookupResolvesItsAddressAgain)
{
    {
        const ResolverGuard failing([](const std::string&) { return net::LookupResult{net::WSAHOST_NOT_FOUND, 0}; });
        client->SetHost("timeserver.test");
        client->SetPort(server.LocalPort());
        client->SetActive(true);
        ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    }
    in_addr_t aimedAt = 0;
    client->OnConnecting = [&](QObject*, net::TCustomWinSocket* socket) {
        aimedAt = socket->AddressRecord().sin_addr.s_addr;
    };
    client->SetHost("");
    client->SetAddress("127.0.0.1");

    client->SetActive(true);
    EXPECT_EQ(aimedAt, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("connect") == 1; }));
}

TEST_F(ClientSocketTest, HostIsLookedUpOffTheMainThread)
{
    client->SetHost("localhost");
    client->SetPort(server.LocalPort());

    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup"));
    EXPECT_TRUE(client->Socket()->LookupPending());
    client->SetActive(false);       // does nothing while the lookup runs
    client->SetAddress("10.0.0.1"); // Active is false: stored, though the host wins
    EXPECT_EQ(client->Address(), "10.0.0.1");

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 1; }));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "connect", "write"));
    EXPECT_EQ(client->Socket()->AddressRecord().sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(ClientSocketTest, FailedLookupGoesToOnErrorAndEndsTheAttemptWithoutDisconnect)
{
    const ResolverGuard failing([](const std::string&) { return net::LookupResult{net::WSAHOST_NOT_FOUND, 0}; });
    client->SetHost("timeserver.test");
    client->SetPort(6645);

    client->SetActive(true);
    ExpectFailedLookupShown();
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
}

TEST_F(ClientSocketTest, FailedLookupConsumedByOnErrorShowsNothing)
{
    const ResolverGuard failing([](const std::string&) { return net::LookupResult{net::WSAHOST_NOT_FOUND, 0}; });
    consumeErrors = true;
    client->SetHost("timeserver.test");
    client->SetPort(6645);

    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !errors.empty(); }));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_THAT(events, ElementsAre("lookup"));
    EXPECT_FALSE(client->Active());
    EXPECT_FALSE(client->Socket()->LookupPending());
    EXPECT_EQ(client->Socket()->Descriptor(), -1);

    // The next attempt starts clean.
    client->SetHost("");
    AimAt(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("connect") == 1; }));
}

TEST_F(ClientSocketTest, ServiceIsLookedUpForThePort)
{
    int portWhenConnecting = 0;
    client->OnConnecting = [&](QObject*, net::TCustomWinSocket* socket) {
        portWhenConnecting = ntohs(socket->AddressRecord().sin_port);
        events.push_back("connecting");
    };
    client->SetAddress("localhost"); // fails at once, so nothing is sent anywhere
    client->SetService("http");

    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup"));
    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    EXPECT_EQ(portWhenConnecting, 80);
    // Failing at once after a lookup, the connect is reported as one that fails later.
    EXPECT_THAT(events, ElementsAre("lookup", "connecting"));
    EXPECT_THAT(errors, ElementsAre(Pair(net::erConnect, net::WSAENETUNREACH)));
    EXPECT_THAT(Displayed(), ElementsAre("Windows socket error: Network is unreachable (10051), on API 'connect'"));
}

TEST_F(ClientSocketTest, HostWithoutARouteFailsThroughOnErrorAndShowsNothingWhenConsumed)
{
    const ResolverGuard nowhere([](const std::string&) { return net::LookupResult{0, INADDR_NONE}; });
    consumeErrors = true;
    client->SetHost("timeserver.test");
    client->SetPort(6645);

    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !errors.empty(); }));
    EXPECT_THAT(errors, ElementsAre(Pair(net::erConnect, net::WSAENETUNREACH)));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting"));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
    EXPECT_FALSE(client->Active());
}

TEST_F(ClientSocketTest, UnknownServiceFailsItsLookup)
{
    AimAt(6645);
    client->SetService("no-such-service");
    client->SetActive(true);
    ExpectFailedLookupShown();
}

TEST_F(ClientSocketTest, SettersIgnoreCaseAndRefuseChangesWhileActive)
{
    client->SetHost("LocalHost");
    client->SetHost("LOCALHOST");
    EXPECT_EQ(client->Host(), "LocalHost");
    client->SetPort(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return client->Active(); }));

    EXPECT_EQ(RaisedBy([this] { client->SetHost("localhost"); }), "(nothing raised)");
    EXPECT_EQ(client->Host(), "LocalHost");
    EXPECT_EQ(RaisedBy([this] { client->SetPort(server.LocalPort()); }), "(nothing raised)");
    const std::string refusal = "Can't change value while socket is active";
    EXPECT_EQ(RaisedBy([this] { client->SetHost("127.0.0.1"); }), refusal);
    EXPECT_EQ(RaisedBy([this] { client->SetAddress("127.0.0.1"); }), refusal);
    EXPECT_EQ(RaisedBy([this] { client->SetPort(6645); }), refusal);
    EXPECT_EQ(RaisedBy([this] { client->SetService("http"); }), refusal);
    EXPECT_EQ(RaisedBy([this] { client->SetClientType(net::ctBlocking); }), refusal);
    EXPECT_EQ(client->Host(), "LocalHost");
}

TEST_F(ClientSocketTest, DestroyingAConnectedClientClosesWithoutDisconnect)
{
    Connect();
    client.reset();
    EXPECT_EQ(Count("disconnect"), 0);
    EXPECT_TRUE(accepted.SeesClose());
}

TEST_F(ClientSocketTest, ActiveStoredWhileLoadingTakesEffectWhenLoaded)
{
    client->BeginLoading();
    client->SetActive(true);
    EXPECT_TRUE(client->Active());
    EXPECT_TRUE(events.empty());
    AimAt(server.LocalPort()); // never refused while loading

    client->Loaded();
    EXPECT_THAT(events, ElementsAre("lookup", "connecting"));
    EXPECT_FALSE(client->Active());
    ASSERT_TRUE(ProcessEventsUntil([this] { return client->Active(); }));
}

TEST_F(ClientSocketTest, SecondActivationDuringAnAttemptAbandonsTheFirst)
{
    AimAt(server.LocalPort());
    client->SetActive(true);
    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "lookup", "connecting"));

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 1; }));

    // A third attempt is the marker: anything of the first would have come before it.
    client->SetActive(false);
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 2; }));
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "lookup", "connecting", "connect", "write", "disconnect",
                                    "lookup", "connecting", "connect", "write"));
    EXPECT_TRUE(errors.empty());
}

TEST_F(ClientSocketTest, BlockingClientConnectsInsideTheSetter)
{
    client->SetClientType(net::ctBlocking);
    EXPECT_EQ(client->Socket()->EventMask(), 0);
    AimAt(server.LocalPort());

    client->SetActive(true);
    EXPECT_THAT(events, ElementsAre("lookup", "connecting", "connect"));
    EXPECT_TRUE(client->Active());
    EXPECT_EQ(client->Socket()->WriteText(kRequest), 22);
    client->SetActive(false);
    EXPECT_EQ(events.back(), "disconnect");
}

TEST_F(ClientSocketTest, ExceptionFromAHandlerReachesTheCentralDisplayAndTheSocketGoesOn)
{
    client->OnConnect = [](QObject*, net::TCustomWinSocket*) { throw framework::Exception("handler failed"); };
    std::string received;
    client->OnRead = [&](QObject*, net::TCustomWinSocket* socket) { received += socket->ReadText(); };
    AimAt(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    EXPECT_THAT(Displayed(), ElementsAre("handler failed"));
    EXPECT_TRUE(client->Active());

    accepted = server.Accept();
    accepted.Send("{time}");
    ASSERT_TRUE(ProcessEventsUntil([&] { return received == "{time}"; }));
}

// A resolver that answers only when the test lets it, with `answer`.
class HeldResolver {
public:
    explicit HeldResolver(net::LookupResult answer)
        : guard_([this, answer](const std::string&) {
              asked_ = true;
              std::unique_lock lock(mutex_);
              released_.wait_for(lock, 10s, [this] { return release_; });
              return answer;
          })
    {
    }
    // Lets the lookups go and waits until their outcomes have been handed over.
    ~HeldResolver() { EXPECT_TRUE(Release()); }

    bool Asked() const { return asked_; }

    bool Release()
    {
        {
            const std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
        return ProcessEventsUntil([] { return net::PendingLookups() == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
    std::atomic<bool> asked_{false};
    ResolverGuard guard_;
};

// Whether everything posted to the main thread so far has run.
bool MarkerPassed()
{
    bool marker = false;
    framework::PostToMainThread([&] { marker = true; });
    return ProcessEventsUntil([&] { return marker; });
}

TEST_F(ClientSocketTest, ALookupWithoutAnswerFailsAfterThePatienceAndItsLateOutcomeIsIgnored)
{
    HeldResolver hung(net::LookupResult{0, htonl(INADDR_LOOPBACK)});
    consumeErrors = true;
    client->Socket()->SetLookupPatience(200ms);
    client->SetHost("timeserver.test");
    client->SetPort(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !errors.empty(); }));
    EXPECT_THAT(errors, ElementsAre(Pair(net::erLookup, net::WSAETIMEDOUT)));
    EXPECT_THAT(events, ElementsAre("lookup"));
    EXPECT_FALSE(client->Socket()->LookupPending());
    EXPECT_EQ(client->Socket()->Descriptor(), -1);
    EXPECT_EQ(net::PendingLookups(), 1); // the bound was ours: the resolver still works
    EXPECT_TRUE(alerts.shown.empty());

    // The resolver's answer, late, would aim at the listening server.
    ASSERT_TRUE(hung.Release());
    ASSERT_TRUE(MarkerPassed());
    EXPECT_THAT(events, ElementsAre("lookup"));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_FALSE(server.Accept(0ms));
}

TEST_F(ClientSocketTest, ALookupWithoutAnswerNotConsumedIsShownAsTheResolversOwnWouldBe)
{
    HeldResolver hung(net::LookupResult{0, htonl(INADDR_LOOPBACK)});
    client->Socket()->SetLookupPatience(100ms);
    client->SetHost("timeserver.test");
    client->SetPort(6645);
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    EXPECT_THAT(Displayed(), ElementsAre("Windows socket error: Connection timed out (10060), on API 'ASync Lookup'"));
}

TEST_F(ClientSocketTest, ANewAddressDuringAHungLookupConnectsAtOnceAndTheLookupsLateOutcomeIsIgnored)
{
    HeldResolver hung(net::LookupResult{0, htonl(INADDR_LOOPBACK)});
    client->SetHost("timeserver.test");
    client->SetPort(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return hung.Asked(); }));
    ASSERT_TRUE(client->Socket()->LookupPending());

    client->SetHost("");
    AimAt(server.LocalPort());
    client->SetActive(true); // well within the lookup's patience of 10 s
    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("write") == 1; }));
    EXPECT_THAT(events, ElementsAre("lookup", "lookup", "connecting", "connect", "write"));

    ASSERT_TRUE(hung.Release());
    ASSERT_TRUE(MarkerPassed());
    EXPECT_THAT(events, ElementsAre("lookup", "lookup", "connecting", "connect", "write"));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(client->Active());
}

TEST_F(ClientSocketTest, ALookupThatEndsAfterItsSocketIsGoneIsDropped)
{
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> asked{false};
    const ResolverGuard slow([&](const std::string&) {
        asked = true;
        std::unique_lock lock(mutex);
        released.wait_for(lock, 5s, [&] { return release; });
        return net::LookupResult{0, htonl(INADDR_LOOPBACK)};
    });
    client->SetHost("timeserver.test");
    client->SetPort(server.LocalPort());
    client->SetActive(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return asked.load(); }));

    client.reset(); // while the resolver still works
    {
        const std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(ProcessEventsUntil([] { return net::PendingLookups() == 0; }));
    bool marker = false;
    framework::PostToMainThread([&] { marker = true; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return marker; }));
    EXPECT_THAT(events, ElementsAre("lookup"));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(alerts.shown.empty());
}

} // namespace
