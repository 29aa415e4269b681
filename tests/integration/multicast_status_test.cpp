// The keeper hears the configured server's status datagrams through the real listener,
// switched on by the address watch, in a network namespace of the test's own.

#include "tests/support/child_process.h"
#include "tests/support/datagram_sender.h"
#include "tests/support/event_loop.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/private_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace std::chrono_literals;
using net::inet::TIdComponent;
using net::inet::TIdSocketHandle;
using testsupport::DatagramSender;
using testsupport::ProcessEventsUntil;
using Badge = testsupport::RecordingFace::Badge;

class WindowMulticast : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        KeeperTest::SetUp();
        // The badge after each datagram the keeper was handed, whoever sent it.
        const auto handler = keeper->IdIPMCastClient1->OnIPMCastRead;
        keeper->IdIPMCastClient1->OnIPMCastRead = [this, handler](TIdComponent* from, std::string_view data,
                                                                  TIdSocketHandle& binding) {
            handler(from, data, binding);
            heard.push_back({binding.SenderIP(), binding.SenderPort(), face.badge});
        };
    }

    void GoOnline()
    {
        // The first request finds no server and shows the badge unknown: that comes first, so
        // that it cannot overtake the datagrams. A keeper standing by sends none.
        if (!keeper->StandingBy()) {
            ASSERT_TRUE(ProcessEventsUntil([&] { return !face.results.empty(); }));
        }
        addresses.addresses = {{10, 0, 0, 5}, {127, 0, 0, 1}};
        ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->IdIPMCastClient1->Active(); }));
    }

    // Sends until the badge shows `badge`, as the first datagrams may come before the join.
    bool SendUntilShown(DatagramSender& sender, const std::string& datagram, Badge badge)
    {
        return ProcessEventsUntil([&] {
            sender.Send(datagram, "224.0.0.1", 6649);
            const auto shown = [&] { return face.badge == badge; };
            return ProcessEventsUntil(shown, std::chrono::milliseconds(20));
        });
    }

    struct Heard {
        std::string sender;
        int port;
        std::optional<Badge> badge;
    };
    std::vector<Heard> heard;
};

TEST_F(WindowMulticast, OfflineTheListenerStaysOff)
{
    // Two looks of the watch: the second begins once the first has had its effect.
    const int lookups = addresses.lookups;
    ASSERT_TRUE(ProcessEventsUntil([&] { return addresses.lookups >= lookups + 2; }));
    EXPECT_FALSE(keeper->IdIPWatch1->Online());
    EXPECT_FALSE(keeper->IdIPMCastClient1->Active());
}

TEST_F(WindowMulticast, TheBadgeFollowsTheServerOnceOnline)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", Badge{1, 2}));
    ASSERT_TRUE(SendUntilShown(server, "3,0,0", Badge{3, 0}));
}

TEST_F(WindowMulticast, AKeeperStandingByStillHearsTheServer)
{
    keeper->StandBy(true);
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,1", Badge{1, 1}));
    EXPECT_EQ(keeper->State().state, 1);
}

TEST_F(WindowMulticast, AnotherSenderChangesNothing)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", Badge{1, 2}));
    DatagramSender stranger("127.0.0.2");
    for (int i = 0; i < 10; ++i)
        stranger.Send("3,0,0", "224.0.0.1", 6649);
    server.Send("1,0,1", "224.0.0.1", 6649); // the marker: yellow, after all of the stranger's
    ASSERT_TRUE(ProcessEventsUntil([&] { return face.badge == Badge{1, 1}; }));

    int fromStranger = 0;
    for (const Heard& datagram : heard) {
        if (datagram.sender != "127.0.0.2")
            continue;
        ++fromStranger;
        EXPECT_EQ(datagram.badge, (Badge{1, 2}));
    }
    EXPECT_EQ(fromStranger, 10);
}

// The server is on this PC: another user's program sending from its address, and a socket
// gone before its datagram is read, change nothing; one line tells of them.
TEST_F(WindowMulticast, FromTheServersAddressOnlyItsOwnersSocketsAreHeard)
{
    const testsupport::LogLines log;
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", Badge{1, 2}));

    // It keeps its socket until it is ended with the test.
    const std::string script = "import socket,time;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                               "s.setsockopt(0,socket.IP_MULTICAST_IF,socket.inet_aton('127.0.0.1'));"
                               "s.bind(('127.0.0.1',0));[s.sendto(b'3,0,0',('224.0.0.1',6649)) for i in range(3)];"
                               "print(s.getsockname()[1],flush=True);time.sleep(60)";
    testsupport::ChildProcess intruder(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", script});
    const std::optional<std::string> intruderPort = intruder.ReadLine(5s);
    ASSERT_TRUE(intruderPort) << intruder.Errors();
    std::optional<DatagramSender> closed(std::in_place, "127.0.0.1");
    closed->Send("3,0,0", "224.0.0.1", 6649);
    const int closedPort = closed->Port();
    closed.reset();                          // before the loop gets round to its datagram
    server.Send("1,0,1", "224.0.0.1", 6649); // the marker
    ASSERT_TRUE(ProcessEventsUntil([&] { return face.badge == Badge{1, 1}; }));

    const auto dropped = std::count_if(heard.begin(), heard.end(), [&](const Heard& datagram) {
        return (datagram.port == std::stoi(*intruderPort) || datagram.port == closedPort)
            && datagram.badge == Badge{1, 2};
    });
    EXPECT_EQ(dropped, 4);
    EXPECT_EQ(log.Count("port " + *intruderPort + " dropped: its socket belongs to user 65534"), 1);
    EXPECT_EQ(log.Count("status datagram from"), 1); // the rest within the minute held back
}

TEST_F(WindowMulticast, ABadDatagramLeavesTheListenerListening)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", Badge{1, 2}));
    server.Send(std::string(9000, 'x'), "224.0.0.1", 6649);
    server.Send(std::string_view("\0"
                                 "3,0,0",
                                 6),
                "224.0.0.1", 6649);
    server.Send("x,0,0", "224.0.0.1", 6649);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !face.badge; }));
    ASSERT_TRUE(SendUntilShown(server, "3,0,1", Badge{3, 1}));
}

TEST_F(WindowMulticast, WithoutADefaultRouteItListensOnTheInterfaceOfItsAddressWherever)
{
    ASSERT_TRUE(testsupport::MakeLanWithoutRoutes());
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.1/24 dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.9/24 dev lan0"));
    SetServer("10.9.0.9");
    addresses.addresses = {{10, 9, 0, 1}, {127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->IdIPMCastClient1->Active(); }));
    DatagramSender server = DatagramSender::OutOf("10.9.0.9");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", Badge{1, 2}));

    // The PC, and the server with it, move to the other interface.
    ASSERT_TRUE(testsupport::RunIp("addr flush dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.1/24 dev lan1"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.9/24 dev lan1"));
    SetServer("10.8.0.9");
    addresses.addresses = {{10, 8, 0, 1}, {127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->IdIPMCastClient1->InterfaceAddress() == "10.8.0.1"; }));
    EXPECT_TRUE(keeper->IdIPMCastClient1->Active());
    DatagramSender moved = DatagramSender::OutOf("10.8.0.9");
    ASSERT_TRUE(SendUntilShown(moved, "3,0,0", Badge{3, 0}));
}

TEST_F(WindowMulticast, GoingOfflineStopsTheListener)
{
    GoOnline();
    addresses.addresses = {{127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return !keeper->IdIPMCastClient1->Active(); }));
    // Out of the group, with its socket closed: nothing can reach the window any more.
    EXPECT_EQ(keeper->IdIPMCastClient1->ActiveBinding(), nullptr);
    EXPECT_FALSE(keeper->IdIPMCastClient1->Bindings().Items(0).DescriptorOpen());
}
