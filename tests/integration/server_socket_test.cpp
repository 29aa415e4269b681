// The server component, its listener and its connections, against plain sockets on loopback.

#include "net/win_socket.h"
#include "platform/unique_fd.h"
#include "tests/integration/socket_test.h"
#include "tests/support/receipt_stamps.h"

#include <gmock/gmock.h>

#include <QCoreApplication>
#include <QMetaObject>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::Pair;
using testsupport::LocalPortOf;
using testsupport::LoopbackPeer;
using testsupport::PeerPortOf;
using testsupport::ProcessEventsUntil;
using testsupport::RaisedBy;

bool IsListening(int descriptor)
{
    int listening = 0;
    socklen_t length = sizeof listening;
    getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    return listening != 0;
}

// For a listening socket the kernel reports its backlog in this field.
unsigned BacklogOf(int descriptor)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_sacked;
}

// This process as one that has run out of descriptors: its limit lowered to just above the
// highest one open, every number below it taken. The limit comes back, and the numbers
// taken are given back, when it goes.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 1;
        setrlimit(RLIMIT_NOFILE, &lowered);
        // Every gap below the limit filled; at most `highest` of them.
        while (platform::UniqueFd filler{::open("/dev/null", O_RDONLY | O_CLOEXEC)})
            taken_.push_back(std::move(filler));
    }
    ~DescriptorsUsedUp()
    {
        taken_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

private:
    rlimit saved_{};
    std::vector<platform::UniqueFd> taken_;
};

class ServerSocketTest : public testsupport::SocketTest {
protected:
    void SetUp() override
    {
        SocketTest::SetUp();
        server = std::make_unique<net::TServerSocket>(nullptr);
        server->OnListen = [this](QObject* sender, net::TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server.get());
            EXPECT_EQ(socket, server->Socket());
            events.push_back("listen");
        };
        server->OnAccept = [this](QObject* sender, net::TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server.get());
            EXPECT_NE(socket, server->Socket());
            Note("accept");
        };
        server->OnClientConnect = NoteFromListener("connect");
        server->OnClientWrite = NoteFromListener("write");
        server->OnClientDisconnect = NoteFromListener("disconnect");
        server->OnClientRead = [this](QObject* sender, net::TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server->Socket());
            Note("read");
            received += socket->ReadText();
            peerAddress = socket->PeerAddress();
        };
        server->OnClientError = [this](QObject* sender, net::TCustomWinSocket*, net::TErrorEvent errorEvent,
                                       int& code) {
            EXPECT_EQ(sender, server->Socket());
            errors.emplace_back(errorEvent, code);
            if (consumeErrors)
                code = 0;
        };
    }

    void ReleaseSockets() override
    {
        server.reset();
        peers.clear();
    }

    // Events of the connections come from the listener, not from the component.
    net::TSocketNotifyEvent NoteFromListener(const char* name)
    {
        return [this, name](QObject* sender, net::TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server->Socket());
            EXPECT_NE(socket, server->Socket());
            Note(name);
        };
    }

    // The event with the number of listed connections when it fired.
    void Note(const std::string& name)
    {
        events.push_back(name + " " + std::to_string(server->Socket()->ConnectionCount()));
    }

    long Count(const std::string& prefix) const
    {
        return std::count_if(events.begin(), events.end(),
                             [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    }

    int Port() const { return LocalPortOf(server->Socket()->Descriptor()); }

    void Listen()
    {
        server->SetActive(true); // port 0: an ephemeral one
        ASSERT_TRUE(server->Active());
    }

    LoopbackPeer& ConnectPeer()
    {
        peers.push_back(LoopbackPeer::ConnectedTo(Port()));
        return peers.back();
    }

    int Listed() const { return server->Socket()->ConnectionCount(); }

    std::unique_ptr<net::TServerSocket> server;
    std::vector<LoopbackPeer> peers;
    std::vector<std::string> events;
    std::vector<std::pair<net::TErrorEvent, int>> errors;
    std::string received;
    std::string peerAddress;
    bool consumeErrors = false;
};

TEST_F(ServerSocketTest, ListenReportedAfterTheBindAndBeforeListeningWithABacklogOfFive)
{
    bool listeningInside = true;
    int boundPortInside = 0;
    server->OnListen = [&](QObject*, net::TCustomWinSocket* socket) {
        listeningInside = IsListening(socket->Descriptor());
        boundPortInside = LocalPortOf(socket->Descriptor());
        events.push_back("listen");
    };

    server->SetActive(true);
    EXPECT_THAT(events, ElementsAre("listen"));
    EXPECT_FALSE(listeningInside);
    EXPECT_NE(boundPortInside, 0);
    EXPECT_TRUE(server->Active());
    const int listener = server->Socket()->Descriptor();
    EXPECT_TRUE(IsListening(listener));
    EXPECT_EQ(BacklogOf(listener), 5u);
    EXPECT_EQ(server->Socket()->AddressRecord().sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST_F(ServerSocketTest, PortInUseRaisesTheBindErrorWithoutListen)
{
    const LoopbackPeer taken = LoopbackPeer::Listening();
    server->SetPort(taken.LocalPort());

    try {
        server->SetActive(true);
        ADD_FAILURE() << "nothing raised";
    } catch (const net::ESocketError& error) {
        EXPECT_EQ(error.Message(), "Windows socket error: Address already in use (10048), on API 'bind'");
        EXPECT_EQ(error.ErrorCode(), net::WSAEADDRINUSE); // what a caller tells a port in use by
    }
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(server->Socket()->Descriptor(), -1);
}

TEST_F(ServerSocketTest, PeerThatSendsFiveBytesAndClosesIsServedInOrderAndReleased)
{
    bool closedButListed = false;
    server->OnClientDisconnect = [&](QObject*, net::TCustomWinSocket* socket) {
        Note("disconnect");
        // Runs after this handler and before the release that it queues.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&, socket] {
                closedButListed = Listed() == 1 && !socket->IsConnected() && socket->Descriptor() == -1
                               && socket->PeerAddress().empty() && socket->ReadText().empty();
            },
            Qt::QueuedConnection);
    };
    Listen();
    {
        LoopbackPeer peer = LoopbackPeer::ConnectedTo(Port());
        peer.Send("12345");
    }

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("disconnect") == 1 && Listed() == 0; }));
    EXPECT_THAT(events, ElementsAre("listen", "connect 1", "accept 1", "write 1", "read 1", "disconnect 1"));
    EXPECT_EQ(received, "12345");
    EXPECT_EQ(peerAddress, "127.0.0.1");
    EXPECT_TRUE(closedButListed);
}

TEST_F(ServerSocketTest, ConnectionAnswersItsPeer)
{
    int answered = 0;
    server->OnClientRead = [&](QObject*, net::TCustomWinSocket* socket) {
        answered = socket->WriteText("{" + socket->ReadText() + "}");
    };
    Listen();
    LoopbackPeer& peer = ConnectPeer();
    peer.Send("ping");
    ASSERT_TRUE(ProcessEventsUntil([&] { return answered == 6; }));
    EXPECT_EQ(peer.Receive(6), "{ping}");
}

TEST_F(ServerSocketTest, AReceiveGivesWhenTheKernelReceivedTheBytesNotWhenTheyWereRead)
{
    using std::chrono::system_clock;
    net::ReceiptTime receivedAt{};
    system_clock::time_point readAt;
    std::string got;
    server->OnClientRead = [&](QObject*, net::TCustomWinSocket* socket) {
        char buffer[16];
        const int count = socket->ReceiveBytes(buffer, sizeof buffer, receivedAt);
        readAt = system_clock::now();
        got.append(buffer, static_cast<std::size_t>(std::max(count, 0)));
    };
    // Noted on the listener, the times hold for the bytes that came before the accept too;
    // without the notes, a receive gives the time of the read.
    for (const bool noted : {true, false}) {
        SCOPED_TRACE(noted ? "noted" : "not noted");
        server->SetActive(false);
        server->Socket()->SetReceiptTimes(noted);
        Listen();
        if (noted) {
            ASSERT_TRUE(testsupport::AwaitStampsOnArrival());
        }
        got.clear();
        const system_clock::time_point sent = system_clock::now();
        ConnectPeer().Send("12345");
        std::this_thread::sleep_for(300ms); // the loop stalls: nothing is taken or read meanwhile
        ASSERT_TRUE(ProcessEventsUntil([&] { return got == "12345"; }));
        if (noted) {
            EXPECT_GE(receivedAt, sent);
            EXPECT_GE(readAt - receivedAt, 250ms);
        } else {
            EXPECT_GE(receivedAt, sent + 300ms);
            EXPECT_LE(receivedAt, readAt);
        }
    }
}

TEST_F(ServerSocketTest, PeersAreListedInOrderOfAcceptance)
{
    Listen();
    const int firstPort = ConnectPeer().LocalPort();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 1; }));
    const int secondPort = ConnectPeer().LocalPort();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 2; }));

    net::TServerWinSocket& listener = *server->Socket();
    EXPECT_EQ(PeerPortOf(listener.Connection(0)->Descriptor()), firstPort);
    EXPECT_EQ(PeerPortOf(listener.Connection(1)->Descriptor()), secondPort);
    EXPECT_EQ(listener.Connection(1)->OwnerServer(), &listener);
    EXPECT_EQ(RaisedBy([&] { listener.Connection(2); }), "List index out of bounds (2)");
    EXPECT_EQ(RaisedBy([&] { listener.Connection(-1); }), "List index out of bounds (-1)");
}

TEST_F(ServerSocketTest, PendingConnectionsAreAcceptedOnePerNotification)
{
    Listen();
    for (int peer = 0; peer < 5; ++peer)
        ConnectPeer().Send("{frame " + std::to_string(peer) + "}");
    for (LoopbackPeer& peer : peers)
        peer.Close();

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("disconnect") == 5 && Listed() == 0; }));
    EXPECT_EQ(Count("accept"), 5);
    EXPECT_EQ(received.size(), 5 * std::string("{frame 0}").size());
}

TEST_F(ServerSocketTest, OutOfDescriptorsTheNewConnectionIsKeptOnlyWhenTheOwnerMakesRoom)
{
    enum class Owner { Unasked, ClosesNothing, ClosesTheFirst };
    for (const Owner owner : {Owner::Unasked, Owner::ClosesNothing, Owner::ClosesTheFirst}) {
        SCOPED_TRACE(static_cast<int>(owner));
        int asked = 0;
        server->Socket()->makeRoom = nullptr;
        if (owner != Owner::Unasked)
            server->Socket()->makeRoom = [&] {
                ++asked;
                if (owner == Owner::ClosesNothing)
                    return false;
                net::TCustomWinSocket* first = server->Socket()->Connection(0);
                first->CloseConnection(first->Descriptor());
                return true;
            };
        Listen();
        ConnectPeer();
        ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 1; }));
        ConnectPeer(); // waits in the kernel's queue until the loop runs again
        {
            const DescriptorsUsedUp usedUp;
            const bool roomMade = owner == Owner::ClosesTheFirst;
            LoopbackPeer& gone = peers[roomMade ? 0 : 1];
            LoopbackPeer& kept = peers[roomMade ? 1 : 0];
            ASSERT_TRUE(ProcessEventsUntil([&] { return gone.SeesClose(0ms); }));
            // The marker: the connection left is served, and nothing else came of the shortage.
            kept.Send("marker");
            ASSERT_TRUE(ProcessEventsUntil([this] { return received == "marker"; }));
            EXPECT_EQ(Listed(), 1);
            EXPECT_FALSE(kept.SeesClose(0ms));
            EXPECT_EQ(asked, owner == Owner::Unasked ? 0 : 1);
            EXPECT_EQ(Count("accept"), roomMade ? 2 : 1);
        }
        server->SetActive(false);
        peers.clear();
        events.clear();
        received.clear();
    }
    EXPECT_TRUE(Displayed().empty());
}

TEST_F(ServerSocketTest, DeactivatingDropsOpenConnectionsSilently)
{
    Listen();
    ConnectPeer();
    ConnectPeer();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 2; }));

    server->SetActive(false);
    EXPECT_EQ(Count("disconnect"), 0);
    EXPECT_EQ(Listed(), 0);
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(server->Socket()->Descriptor(), -1);
    for (LoopbackPeer& peer : peers)
        EXPECT_TRUE(peer.SeesClose());
}

TEST_F(ServerSocketTest, DestroyingTheComponentDropsOpenConnectionsSilently)
{
    Listen();
    ConnectPeer();
    ConnectPeer();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 2; }));

    server.reset();
    EXPECT_EQ(Count("disconnect"), 0);
    for (LoopbackPeer& peer : peers)
        EXPECT_TRUE(peer.SeesClose());
}

TEST_F(ServerSocketTest, PeerResetReachesTheCentralDisplayAndTheConnectionIsReleased)
{
    Listen();
    ConnectPeer();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 1; }));
    peers.back().Reset();

    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty() && Listed() == 0; }));
    ConnectPeer().Send("{marker}"); // reported after anything more of the first connection
    ASSERT_TRUE(ProcessEventsUntil([this] { return received == "{marker}"; }));
    EXPECT_THAT(Displayed(), ElementsAre("Asynchronous socket error 10054"));
    EXPECT_THAT(errors, ElementsAre(Pair(net::erDisconnect, net::WSAECONNRESET)));
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(server->Active());
}

TEST_F(ServerSocketTest, PeerThatResetsBeforeItIsAcceptedIsStillReleased)
{
    Listen();
    ConnectPeer().Reset();

    ASSERT_TRUE(ProcessEventsUntil([this] { return Count("accept") == 1 && Listed() == 0; }));
    EXPECT_THAT(Displayed(), ElementsAre("Asynchronous socket error 10054"));
    EXPECT_EQ(Count("disconnect"), 1);
}

TEST_F(ServerSocketTest, ConsumedResetShowsNothingAndTheConnectionIsReleased)
{
    consumeErrors = true;
    Listen();
    ConnectPeer();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 1; }));
    peers.back().Reset();

    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 0; }));
    EXPECT_THAT(errors, ElementsAre(Pair(net::erDisconnect, net::WSAECONNRESET)));
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(ServerSocketTest, ErrorsGoOnArrivingWhileAnErrorBoxIsOpen)
{
    Listen();
    ConnectPeer();
    ConnectPeer();
    ASSERT_TRUE(ProcessEventsUntil([this] { return Listed() == 2; }));
    bool secondArrivedInsideTheBox = false;
    alerts.whileShown = [&] {
        if (alerts.shown.size() == 1)
            secondArrivedInsideTheBox = ProcessEventsUntil([this] { return errors.size() == 2; });
    };
    peers[0].Reset();
    peers[1].Reset();

    ASSERT_TRUE(ProcessEventsUntil([this] { return alerts.shown.size() == 2 && Listed() == 0; }));
    EXPECT_TRUE(secondArrivedInsideTheBox);
    EXPECT_THAT(Displayed(), ElementsAre("Asynchronous socket error 10054", "Asynchronous socket error 10054"));
}

TEST_F(ServerSocketTest, ExceptionFromAReadHandlerReachesTheCentralDisplayAndServingGoesOn)
{
    server->OnClientRead = [this](QObject*, net::TCustomWinSocket* socket) {
        received += socket->ReadText();
        throw framework::Exception("bad frame");
    };
    Listen();
    ConnectPeer().Send("{one}");
    ASSERT_TRUE(ProcessEventsUntil([this] { return !alerts.shown.empty(); }));
    ConnectPeer().Send("{two}");
    ASSERT_TRUE(ProcessEventsUntil([this] { return received == "{one}{two}"; }));
    EXPECT_THAT(Displayed(), ElementsAre("bad frame", "bad frame"));
}

TEST_F(ServerSocketTest, ActiveStoredWhileLoadingStartsListeningWhenLoaded)
{
    server->BeginLoading();
    server->SetActive(true);
    EXPECT_TRUE(events.empty());

    server->Loaded();
    EXPECT_THAT(events, ElementsAre("listen"));
    EXPECT_TRUE(server->Active());
    EXPECT_TRUE(IsListening(server->Socket()->Descriptor()));
}

TEST_F(ServerSocketTest, LoadedRaisesWhenThePortIsTakenAndLeavesActiveFalse)
{
    const LoopbackPeer taken = LoopbackPeer::Listening();
    server->BeginLoading();
    server->SetActive(true);
    server->SetPort(taken.LocalPort());

    EXPECT_EQ(RaisedBy([this] { server->Loaded(); }),
              "Windows socket error: Address already in use (10048), on API 'bind'");
    EXPECT_FALSE(server->Active());
    EXPECT_TRUE(events.empty());
}

TEST_F(ServerSocketTest, ServerTypeIsFixedWhileListening)
{
    server->SetServerType(net::stThreadBlocking);
    EXPECT_EQ(server->Socket()->EventMask(), 0);
    server->SetServerType(net::stNonBlocking);
    EXPECT_EQ(server->Socket()->EventMask(), net::FD_ACCEPT);

    Listen();
    EXPECT_EQ(RaisedBy([this] { server->SetServerType(net::stThreadBlocking); }),
              "Can't change value while socket is active");
    EXPECT_EQ(RaisedBy([this] { server->Socket()->OpenListener("", 0, 5); }), "Can't listen on an open socket");
}

} // namespace
