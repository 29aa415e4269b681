#include "net/inet/exceptions.h"
#include "net/inet/ipmcast_client.h"
#include "net/inet/thread.h"
#include "platform/unique_fd.h"
#include "tests/integration/network_fixture.h"
#include "tests/support/datagram_sender.h"
#include "tests/support/event_loop.h"
#include "tests/support/log_lines.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process_stats.h"
#include "tests/support/raised_by.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace net::inet; // the components under test
using testsupport::DatagramSender;
using testsupport::ProcessEventsUntil;
using testsupport::RaisedBy;
using namespace std::chrono_literals;

namespace {

struct Delivery {
    TIdComponent* sender;
    std::string bytes;
    TIdSocketHandle* binding;
    std::string senderIP;
    int senderPort;
    std::string localIP;
    int localPort;
    std::thread::id thread;
};

// How many sockets of this namespace are members of `group` on `device`, as the
// system's own table tells.
int MembersOf(const std::string& group, const std::string& device = "lo")
{
    const platform::Ipv4Address bytes = TIdStack::TextToAddress(group);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", bytes[3], bytes[2], bytes[1], bytes[0]);
    std::ifstream table("/proc/net/igmp");
    std::string line;
    bool onDevice = false;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (line[0] != '\t') {
            std::string name;
            fields >> name;
            onDevice = name == device;
        } else if (onDevice && first == hex) {
            int users = 0;
            fields >> users;
            return users;
        }
    }
    return 0;
}

// A datagram that tells by itself whether it arrived whole: its number, then filler
// derived from the number up to `size` bytes.
std::string NumberedDatagram(int number, std::size_t size)
{
    std::string bytes = std::to_string(number) + ":";
    while (bytes.size() < size)
        bytes += static_cast<char>('a' + (number + bytes.size()) % 26);
    return bytes;
}

// The number of an intact numbered datagram, or -1.
int NumberOf(const std::string& bytes)
{
    const auto colon = bytes.find(':');
    if (colon == std::string::npos)
        return -1;
    const int number = std::stoi(bytes.substr(0, colon));
    return NumberedDatagram(number, bytes.size()) == bytes ? number : -1;
}

} // namespace

class MulticastListener : public testsupport::PrivateNetworkTest {
protected:
    void SetUp() override
    {
        PrivateNetworkTest::SetUp();
        if (IsSkipped())
            return;
        sender = std::make_unique<DatagramSender>();
        client = std::make_unique<TIdIPMCastClient>();
        client->SetDefaultPort(6649);
        client->OnIPMCastRead = [this](TIdComponent* from, std::string_view data, TIdSocketHandle& binding) {
            deliveries.push_back({from, std::string(data), &binding, binding.SenderIP(), binding.SenderPort(),
                                  binding.IP, binding.Port, std::this_thread::get_id()});
        };
    }

    void TearDown() override { client.reset(); }

    bool Send(std::string_view bytes, int port = 6649) { return sender->Send(bytes, client->MulticastGroup(), port); }

    bool AwaitDeliveries(std::size_t count)
    {
        return ProcessEventsUntil([&] { return deliveries.size() >= count; });
    }

    // Bytes waiting in the receive queue of the first binding's socket.
    int Queued()
    {
        int bytes = 0;
        ioctl(client->Bindings().Items(0).Descriptor(), FIONREAD, &bytes);
        return bytes;
    }

    testsupport::Watchdog watchdog{60s};
    std::unique_ptr<DatagramSender> sender;
    std::unique_ptr<TIdIPMCastClient> client;
    std::vector<Delivery> deliveries;
};

TEST_F(MulticastListener, DeliversADatagramOnTheMainThreadWithItsSender)
{
    ASSERT_TRUE(testsupport::RunIp("addr add 192.168.1.5/32 dev lo"));
    DatagramSender lanSender("192.168.1.5", 5000);
    client->SetActive(true);
    EXPECT_TRUE(client->Active());
    ASSERT_EQ(client->Bindings().Count(), 1);

    const std::string hundred = NumberedDatagram(1, 100);
    ASSERT_TRUE(lanSender.Send(hundred, "224.0.0.1", 6649));
    ASSERT_TRUE(AwaitDeliveries(1));

    const Delivery& got = deliveries[0];
    EXPECT_EQ(got.sender, client.get());
    EXPECT_EQ(got.bytes, hundred);
    EXPECT_EQ(got.thread, std::this_thread::get_id());
    EXPECT_EQ(got.senderIP, "192.168.1.5");
    EXPECT_EQ(got.senderPort, 5000);
    EXPECT_EQ(got.localIP, "224.0.0.1"); // bound to the group
    EXPECT_EQ(got.localPort, 6649);
    EXPECT_EQ(got.binding, &client->Bindings().Items(0));
    EXPECT_EQ(client->ActiveBinding(), got.binding);
}

TEST_F(MulticastListener, DeliversEachDatagramWholeAndInOrder)
{
    client->SetActive(true);
    const std::string datagrams[] = {NumberedDatagram(1, 1), NumberedDatagram(2, 8192), NumberedDatagram(3, 300)};
    for (const std::string& datagram : datagrams)
        ASSERT_TRUE(Send(datagram));
    ASSERT_TRUE(AwaitDeliveries(3));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(deliveries[i].bytes, datagrams[i]);
}

TEST_F(MulticastListener, TooLongOrEmptyDatagramIsDroppedAndListeningGoesOn)
{
    client->SetActive(true);
    ASSERT_TRUE(Send(NumberedDatagram(1, 8193)));
    ASSERT_TRUE(Send(NumberedDatagram(2, 10)));
    ASSERT_TRUE(Send(""));
    ASSERT_TRUE(Send(NumberedDatagram(3, 10))); // the marker: what came before it came first
    ASSERT_TRUE(AwaitDeliveries(2));
    EXPECT_EQ(deliveries[0].bytes, NumberedDatagram(2, 10));
    EXPECT_EQ(deliveries[1].bytes, NumberedDatagram(3, 10));
    EXPECT_EQ(deliveries.size(), 2u);
}

TEST_F(MulticastListener, JoinsOnceAndLeavesOnce)
{
    client->SetMulticastGroup("239.1.2.3");
    const int threads = TIdThread::LiveThreadCount();
    client->SetActive(true);
    client->SetActive(true);
    EXPECT_EQ(MembersOf("239.1.2.3"), 1);
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads + 1);

    client->SetActive(false);
    EXPECT_NO_THROW(client->SetActive(false));
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(MembersOf("239.1.2.3"), 0);
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
    EXPECT_EQ(client->ActiveBinding(), nullptr);
    EXPECT_FALSE(client->Bindings().Items(0).DescriptorOpen());
}

TEST_F(MulticastListener, AnotherGroupWhileJoinedLeavesAndStaysClosed)
{
    client->SetMulticastGroup("239.1.2.3");
    client->SetActive(true);
    client->SetMulticastGroup("239.1.2.3");
    EXPECT_TRUE(client->Active());

    client->SetMulticastGroup("239.4.5.6");
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(MembersOf("239.1.2.3"), 0);
    EXPECT_EQ(MembersOf("239.4.5.6"), 0);

    client->SetActive(true);
    EXPECT_EQ(MembersOf("239.4.5.6"), 1);
    ASSERT_TRUE(Send("to the new group"));
    ASSERT_TRUE(AwaitDeliveries(1));
}

TEST_F(MulticastListener, PortHeldWithoutSharingMakesTheJoinFail)
{
    {
        // Another program, bound to every address of the port and sharing it with nobody.
        const platform::UniqueFd other(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(6649);
        ASSERT_EQ(bind(other.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
        const int threads = TIdThread::LiveThreadCount();
        EXPECT_EQ(RaisedBy<EIdCouldNotBindSocket>([&] { client->SetActive(true); }),
                  "Could not bind socket. Address and port are already in use.");
        EXPECT_FALSE(client->Active());
        EXPECT_EQ(client->ActiveBinding(), nullptr);
        EXPECT_FALSE(client->Bindings().Items(0).DescriptorOpen());
        EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
    }
    client->SetActive(true);
    ASSERT_TRUE(Send("once the port is free"));
    ASSERT_TRUE(AwaitDeliveries(1));
}

TEST_F(MulticastListener, TwoListenersOnOnePcBothHearTheGroup)
{
    // As two users' copies of the program do.
    TIdIPMCastClient other;
    other.SetDefaultPort(6649);
    std::vector<std::string> heardByOther;
    other.OnIPMCastRead = [&](TIdComponent*, std::string_view data, TIdSocketHandle&) {
        heardByOther.emplace_back(data);
    };
    other.SetActive(true);
    client->SetActive(true);
    ASSERT_TRUE(Send("to both"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return deliveries.size() == 1 && heardByOther.size() == 1; }));
    EXPECT_EQ(heardByOther[0], "to both");
}

TEST_F(MulticastListener, DatagramsToThePortButNotToTheGroupNeverArrive)
{
    client->SetActive(true);
    ASSERT_TRUE(sender->Send("unicast", "127.0.0.1", 6649));
    ASSERT_TRUE(Send("to the group")); // the marker: what came before it would have come first
    ASSERT_TRUE(AwaitDeliveries(1));
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].bytes, "to the group");
}

TEST_F(MulticastListener, FailedMembershipLeavesItClosed)
{
    ASSERT_TRUE(testsupport::RunIp("route del 224.0.0.0/4 dev lo"));
    try {
        client->SetActive(true);
        ADD_FAILURE() << "no exception";
    } catch (const EIdSocketError& error) {
        EXPECT_EQ(error.SocketErrorCode(), ENODEV);
    }
    EXPECT_FALSE(client->Active());
    EXPECT_FALSE(client->Bindings().Items(0).DescriptorOpen());
    ASSERT_TRUE(testsupport::RunIp("route add 224.0.0.0/4 dev lo"));

    client->SetActive(true);
    EXPECT_TRUE(client->Active());
}

TEST_F(MulticastListener, WithoutADefaultRouteJoinsOnTheInterfaceOfItsAddress)
{
    ASSERT_TRUE(testsupport::MakeLanWithoutRoutes());
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.1/24 dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.9/24 dev lan0")); // the server's
    const testsupport::LogLines log("tavrin.net");
    // The system picks no interface here; the failure is told once, however often tried.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            client->SetActive(true);
            ADD_FAILURE() << "no exception";
        } catch (const EIdSocketError& error) {
            EXPECT_EQ(error.SocketErrorCode(), ENODEV);
        }
    }

    client->SetInterfaceAddress("10.9.0.1");
    client->SetActive(true);
    DatagramSender server = DatagramSender::OutOf("10.9.0.9");
    ASSERT_TRUE(server.Send("1,0,2", "224.0.0.1", 6649));
    ASSERT_TRUE(AwaitDeliveries(1));
    EXPECT_EQ(deliveries[0].bytes, "1,0,2");
    EXPECT_EQ(deliveries[0].senderIP, "10.9.0.9");
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"multicast group 224.0.0.1 not joined (interface picked by the system): "
                                        "No such device (19)",
                                        "multicast group 224.0.0.1 joined (interface 10.9.0.1)"}));
}

TEST_F(MulticastListener, ANewAddressOnAnotherInterfaceJoinsThereInstead)
{
    ASSERT_TRUE(testsupport::MakeLanWithoutRoutes());
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.1/24 dev lan0"));
    client->SetMulticastGroup("239.1.2.3"); // a group no interface is in by itself
    client->SetInterfaceAddress("10.9.0.1");
    client->SetActive(true);
    ASSERT_EQ(MembersOf("239.1.2.3", "lan0"), 1);

    // The PC moves to the other interface, and is told so.
    ASSERT_TRUE(testsupport::RunIp("addr flush dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.1/24 dev lan1"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.9/24 dev lan1")); // the server's
    client->SetInterfaceAddress("10.8.0.1");
    EXPECT_TRUE(client->Active());
    EXPECT_EQ(MembersOf("239.1.2.3", "lan0"), 0);
    EXPECT_EQ(MembersOf("239.1.2.3", "lan1"), 1);
    DatagramSender server = DatagramSender::OutOf("10.8.0.9");
    ASSERT_TRUE(server.Send("on the new interface", "239.1.2.3", 6649));
    ASSERT_TRUE(AwaitDeliveries(1));
    EXPECT_EQ(deliveries[0].senderIP, "10.8.0.9");
}

TEST_F(MulticastListener, FailureToLeaveStillClosesEverything)
{
    client->SetMulticastGroup("239.1.2.3");
    const int threads = TIdThread::LiveThreadCount();
    client->SetActive(true);
    // Someone else has already taken the socket out of the group.
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(0xEF010203);
    ASSERT_EQ(setsockopt(client->Bindings().Items(0).Descriptor(), IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership,
                         sizeof membership),
              0);

    EXPECT_EQ(RaisedBy<EIdSocketError>([&] { client->SetActive(false); }),
              "Socket Error # 10049\r\nCannot assign requested address.");
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->ActiveBinding(), nullptr);
    EXPECT_FALSE(client->Bindings().Items(0).DescriptorOpen());
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads);

    client->SetActive(true);
    EXPECT_EQ(MembersOf("239.1.2.3"), 1);
}

TEST_F(MulticastListener, SwitchingOffRunsADeliveryAlreadyAskedFor)
{
    client->SetActive(true);
    // A member of the group beside the listener gets the datagram at the same moment.
    testsupport::MulticastReceiver witness(6649);
    ASSERT_TRUE(Send("in flight"));
    ASSERT_TRUE(witness.Receive());
    // Once the listener has taken the datagram off the socket it waits for the main
    // thread, which does not run its event loop here.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (Queued() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(Queued(), 0);
    EXPECT_TRUE(deliveries.empty());

    client->SetActive(false);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].bytes, "in flight");
    EXPECT_EQ(deliveries[0].thread, std::this_thread::get_id());
    EXPECT_FALSE(client->Active());
}

TEST_F(MulticastListener, RaisingHandlerEndsTheListening)
{
    client->OnIPMCastRead = [this](TIdComponent*, std::string_view data, TIdSocketHandle&) {
        deliveries.push_back({});
        deliveries.back().bytes = std::string(data);
        throw std::runtime_error("handler failed");
    };
    const int threads = testsupport::ThreadsOf(getpid());
    client->SetActive(true);
    ASSERT_TRUE(Send("first"));
    ASSERT_TRUE(AwaitDeliveries(1));
    // The listener's thread ends: nothing is left that could take the next datagram.
    ASSERT_TRUE(ProcessEventsUntil([&] { return testsupport::ThreadsOf(getpid()) == threads; }));
    ASSERT_TRUE(Send("second"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return Queued() > 0; }));
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_TRUE(client->Active());

    client->SetActive(true); // already on: starts nothing
    EXPECT_EQ(testsupport::ThreadsOf(getpid()), threads);

    client->SetActive(false);
    client->SetActive(true);
    ASSERT_TRUE(Send("third"));
    ASSERT_TRUE(AwaitDeliveries(2));
    EXPECT_EQ(deliveries[1].bytes, "third");
}

TEST_F(MulticastListener, NewBufferSizeCountsFromTheNextJoin)
{
    client->BufferSize = 100;
    client->SetActive(true);
    client->BufferSize = 8192;
    ASSERT_TRUE(Send(NumberedDatagram(1, 101)));
    ASSERT_TRUE(Send(NumberedDatagram(2, 100)));
    ASSERT_TRUE(AwaitDeliveries(1));
    EXPECT_EQ(deliveries[0].bytes, NumberedDatagram(2, 100));

    client->SetActive(false);
    client->SetActive(true);
    ASSERT_TRUE(Send(NumberedDatagram(3, 101)));
    ASSERT_TRUE(AwaitDeliveries(2));
    EXPECT_EQ(deliveries[1].bytes, NumberedDatagram(3, 101));
}

TEST_F(MulticastListener, ThreadedEventRunsOnTheListenerThread)
{
    std::atomic<int> delivered{0};
    std::thread::id ranOn;
    client->ThreadedEvent = true;
    client->OnIPMCastRead = [&](TIdComponent*, std::string_view, TIdSocketHandle&) {
        ranOn = std::this_thread::get_id();
        ++delivered;
    };
    client->SetActive(true);
    ASSERT_TRUE(Send("threaded"));
    // No event loop: the handler does not need the main thread.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (delivered == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    client->SetActive(false);
    ASSERT_EQ(delivered, 1);
    EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST_F(MulticastListener, SwitchedOnWhileLoadingJoinsOnceLoaded)
{
    client = std::make_unique<TIdIPMCastClient>(ComponentStart::Loading);
    client->SetDefaultPort(6649);
    client->SetMulticastGroup("239.1.2.3");
    client->OnIPMCastRead = [this](TIdComponent*, std::string_view data, TIdSocketHandle&) {
        deliveries.push_back({});
        deliveries.back().bytes = std::string(data);
    };
    client->SetActive(true);
    EXPECT_EQ(client->Bindings().Count(), 0);
    EXPECT_EQ(MembersOf("239.1.2.3"), 0);

    client->Loaded();
    EXPECT_TRUE(client->Active());
    EXPECT_EQ(MembersOf("239.1.2.3"), 1);
    ASSERT_TRUE(Send("after loading"));
    ASSERT_TRUE(AwaitDeliveries(1));

    client->Loaded();
    EXPECT_EQ(MembersOf("239.1.2.3"), 1);
}

TEST_F(MulticastListener, EveryBindingListensOnItsOwnPort)
{
    client->Bindings().Add().Port = 6649;
    client->Bindings().Add().Port = 6650;
    client->SetActive(true);
    ASSERT_TRUE(Send("to 6650", 6650));
    ASSERT_TRUE(AwaitDeliveries(1));
    ASSERT_TRUE(Send("to 6649", 6649));
    ASSERT_TRUE(AwaitDeliveries(2));
    EXPECT_EQ(deliveries[0].localPort, 6650);
    EXPECT_EQ(deliveries[0].binding, &client->Bindings().Items(1));
    EXPECT_EQ(deliveries[1].localPort, 6649);
    EXPECT_EQ(client->ActiveBinding(), &client->Bindings().Items(0));
}

TEST_F(MulticastListener, SwitchingOnAndOffWhileDatagramsArrive)
{
    std::atomic<bool> sending{true};
    std::thread stream([&] {
        DatagramSender streamer;
        for (int number = 0; sending; ++number) {
            streamer.Send(NumberedDatagram(number, 1 + (number * 37) % 2000), "224.0.0.1", 6649);
            std::this_thread::sleep_for(200us);
        }
    });
    for (int round = 0; round < 10; ++round) {
        client->SetActive(true);
        testsupport::ProcessEventsFor(30ms);
        client->SetActive(false);
    }
    client->SetActive(true);
    const std::size_t before = deliveries.size();
    EXPECT_TRUE(AwaitDeliveries(before + 10));
    sending = false;
    stream.join();
    client->SetActive(false);

    ASSERT_FALSE(deliveries.empty());
    int last = -1;
    for (const Delivery& delivery : deliveries) {
        const int number = NumberOf(delivery.bytes);
        ASSERT_GE(number, 0) << "damaged datagram";
        EXPECT_GT(number, last);
        last = number;
    }
}
