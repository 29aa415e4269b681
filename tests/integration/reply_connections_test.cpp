// The keeper's reply port against real loopback connections: who gets in, for how long, with
// how much, and what their failures leave behind.

#include "tests/support/child_process.h"
#include "tests/support/event_loop.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process_stats.h"
#include "tests/support/receipt_stamps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using testsupport::DescriptorsOf;
using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;

namespace {

// A frame as the server sends it, told apart from others by its echo code.
std::string Frame(int echoCode, char source = '1')
{
    std::string echo = std::to_string(echoCode);
    echo.insert(0, 4 - echo.size(), '0');
    return std::string("{TAVRIN_") + source + ",0,2," + echo + std::to_string(1211371200 + echoCode) + "}";
}

bool ClosedByThePort(LoopbackPeer& peer)
{
    return peer.SeesClose(0ms);
}

// Whether the keeper's kernel has taken every byte `peer` sent: it acknowledged them all.
bool AllAcknowledged(const LoopbackPeer& peer)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(peer.Descriptor(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_unacked == 0;
}

} // namespace

class ReplyPort : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        KeeperTest::SetUp();
        ASSERT_TRUE(keeper->ServerSocket1->Active());
        ASSERT_TRUE(testsupport::AwaitStampsOnArrival()); // as the reply port asked
        keeper->FetchTimeAndDate();                       // the first fetch, out of the way
        AwaitReply();
        descriptors = DescriptorsOf(getpid());
    }

    int Port() const { return testsupport::LocalPortOf(keeper->ServerSocket1->Socket()->Descriptor()); }

    LoopbackPeer ConnectFrom(const std::string& source) { return LoopbackPeer::ConnectedFrom(source, Port()); }

    // The server's way: connect, send, close; then wait until the keeper took it.
    void ServerReplies(int echoCode)
    {
        LoopbackPeer reply = ConnectFrom("127.0.0.1");
        reply.Send(Frame(echoCode));
        reply.FinishSending();
        ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == echoCode; }));
    }

    int Held() const { return static_cast<int>(keeper->replyConnections.Count()); }

    void ExpectNothingLeftOpen()
    {
        EXPECT_TRUE(ProcessEventsUntil(
            [&] {
                return keeper->ServerSocket1->Socket()->ConnectionCount() == 0
                    && DescriptorsOf(getpid()) == descriptors;
            },
            2s))
            << DescriptorsOf(getpid()) << " descriptors open, " << descriptors << " before";
        EXPECT_EQ(Held(), 0);
    }

    int descriptors = 0;
};

TEST_F(ReplyPort, AReplyFromAnotherAddressIsClosedUnreadAndChangesNothing)
{
    const testsupport::LogLines log;
    const std::string panel = face.Status();
    face.badge = {1, 2};

    LoopbackPeer stranger = ConnectFrom("127.0.0.2");
    stranger.Send(Frame(77, '3'));
    ASSERT_TRUE(ProcessEventsUntil([&] { return ClosedByThePort(stranger); }));
    EXPECT_EQ(keeper->FEchoCode, 9999);
    ExpectBadge(1, 2);
    EXPECT_EQ(face.Status(), panel);

    ServerReplies(42);                 // the marker: the server's own reply still gets through
    EXPECT_EQ(face.timeCodesTaken, 1); // one tick: the stranger's frame ran none
    EXPECT_EQ(clockSetter.steps.size(), 1u);
    EXPECT_EQ(log.Count("tavrin.net: reply connection from 127.0.0.2 refused: the server is 127.0.0.1"), 1);
    stranger.Close();
    ExpectNothingLeftOpen();
}

// Another local user's program connects from the server's own address, a sender closes
// before its owner can be seen, or a frame comes with no request under way: none moves the
// clock. The server's next reply, the marker, does.
TEST_F(ReplyPort, OnlyAnswersToOurRequestsFromTheServersOwnersMoveTheClock)
{
    enum class Sender { AnotherUser, ClosesAtOnce, Us };
    struct Case {
        const char* what;
        bool requestUnderWay;
        Sender sender;
        const char* logged;
    };
    const Case cases[] = {
        {"another user's socket", true, Sender::AnotherUser,
         "tavrin.net: reply connection from 127.0.0.1 refused: its socket belongs to user 65534"},
        {"closed before it was taken", true, Sender::ClosesAtOnce,
         "refused: it was closed before it was taken, so its owner cannot be told"},
        {"no request under way", false, Sender::Us, "with no request under way: the clock is left alone"},
    };
    keeper->refusedReplyLog = keeper::AddressLogLimit(0s); // each case's refusal says why
    int marker = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ++marker;
        clockSetter.ForgetSteps();
        clock.SetUtc(kLongAgo); // far off again: the marker steps the clock afresh
        keeper->requestSentAt.reset();
        if (c.requestUnderWay)
            AwaitReply();
        const testsupport::LogLines log;
        std::unique_ptr<testsupport::ChildProcess> intruder;
        LoopbackPeer sameUser;
        if (c.sender == Sender::AnotherUser) {
            // It keeps its socket until it is ended with the test.
            const std::string script = "import socket,time\ns=socket.create_connection(('127.0.0.1',"
                                     + std::to_string(Port()) + "))\ns.sendall(b'" + Frame(77)
                                     + "')\nprint('sent',flush=True)\ntime.sleep(60)";
            intruder = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{
                "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", script});
            ASSERT_EQ(intruder->ReadLine(5s), "sent") << intruder->Errors();
        } else {
            sameUser = ConnectFrom("127.0.0.1");
            sameUser.Send(Frame(77));
            if (c.sender == Sender::ClosesAtOnce)
                sameUser.Close();
            else
                sameUser.FinishSending();
        }
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.Count(c.logged) == 1; })) << c.logged;
        EXPECT_TRUE(clockSetter.steps.empty());

        AwaitReply();
        ServerReplies(marker);
        EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371200 + marker}));
    }
}

// A web page's fetch("http://127.0.0.1:6646/", {method: "POST", mode: "no-cors", body})
// comes from the user's own socket, with a frame dated an hour ahead in its body.
TEST_F(ReplyPort, ABrowsersPostFromOurOwnSocketIsClosedAndNeverReachesTheClock)
{
    const testsupport::LogLines log;
    AwaitReply(); // a request under way: a frame of the server would be taken now
    const auto anHourAhead = std::chrono::floor<std::chrono::seconds>(clock.UtcNow() + 1h).time_since_epoch();
    const std::string body = "x}{TAVRIN_1,0,2,9999" + std::to_string(anHourAhead.count()) + "}";
    LoopbackPeer browser = ConnectFrom("127.0.0.1");
    browser.Send("POST / HTTP/1.1\r\nHost: 127.0.0.1:6646\r\nContent-Length: " + std::to_string(body.size())
                 + "\r\nContent-Type: text/plain;charset=UTF-8\r\nSec-Fetch-Mode: no-cors\r\n\r\n" + body);
    ASSERT_TRUE(ProcessEventsUntil([&] { return ClosedByThePort(browser); }));
    EXPECT_TRUE(clockSetter.steps.empty());
    EXPECT_EQ(face.timeCodesTaken, 0); // not even the header's "frame" was taken as a bad code
    EXPECT_EQ(log.Count(R"(tavrin.net: reply connection from 127.0.0.1 refused: it sent "POST / HTTP/1.1\r\nHost:…")"
                        R"( where a time reply frame should start)"),
              1);

    ServerReplies(42); // the marker: the server's own reply still gets through
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371242}));
    browser.Close();
    ExpectNothingLeftOpen();
}

// A burst of refusals from one address leaves one line, and the next line, once the
// interval is over, tells how many were held back; the addresses beyond the table (of one
// here) share a line. Each is counted all the same.
TEST_F(ReplyPort, RefusalsAreLoggedOnceAnIntervalPerAddressWithTheCountHeldBack)
{
    constexpr auto kInterval = 3s;
    keeper->refusedReplyLog = keeper::AddressLogLimit(kInterval, 1);
    const testsupport::LogLines log;
    const auto refused = keeper->State().refusedReplies;
    const auto refuse = [&](const char* source) {
        LoopbackPeer stranger = ConnectFrom(source);
        ASSERT_TRUE(ProcessEventsUntil([&] { return ClosedByThePort(stranger); }));
    };
    refuse("127.0.0.2");
    const auto firstLine = std::chrono::steady_clock::now(); // no earlier than the line it let through
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.2", "127.0.0.2"})
        refuse(source);
    EXPECT_EQ(keeper->State().refusedReplies, refused + 6);
    EXPECT_EQ(log.Count("refused: the server is 127.0.0.1"), 2); // 127.0.0.2's, and 127.0.0.3's for both others

    std::this_thread::sleep_until(firstLine + kInterval); // the rule under test is the interval itself
    refuse("127.0.0.2");
    EXPECT_EQ(log.Count("from 127.0.0.2 refused: the server is 127.0.0.1 (3 more refused since the last line)"), 1);
}

TEST_F(ReplyPort, AFrameThatArrivedBeforeTheRequestWentOutAnswersNothing)
{
    const testsupport::LogLines log;
    keeper->requestSentAt.reset();
    LoopbackPeer early = ConnectFrom("127.0.0.1");
    early.Send(Frame(77));
    early.FinishSending();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!AllAcknowledged(early) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(AllAcknowledged(early));
    AwaitReply(); // a request goes out before the loop gets round to the frame
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 77; }));
    EXPECT_TRUE(clockSetter.steps.empty());
    EXPECT_EQ(log.Count("tavrin.sync: time code for 1211371277 with no request under way: the clock is left alone"), 1);

    ServerReplies(42); // the marker: the answer that comes after it
    EXPECT_EQ(SecondsSetTo(), std::vector<std::int64_t>({1211371242}));
}

TEST_F(ReplyPort, ResetsInARowShowNoBoxAndLeaveNothingOpen)
{
    const testsupport::LogLines log;
    // Each reset comes once the window holds the connection; pacing by that also keeps the
    // kernel's queue of five from overflowing.
    std::atomic<int> accepted = 0;
    keeper->ServerSocket1->OnAccept = [&](QObject*, net::TCustomWinSocket*) { ++accepted; };
    std::atomic<bool> done = false;
    std::thread resets([&, port = Port()] {
        for (int i = 0; i < 100; ++i) {
            LoopbackPeer peer = LoopbackPeer::ConnectedTo(port);
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (accepted.load() <= i && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            if (i % 2 == 0)
                peer.Send("{TAVRIN_1"); // half of them reset with bytes on the way
            peer.Reset();
        }
        done = true;
    });
    const bool served = ProcessEventsUntil([&] { return done.load(); }, 20s);
    resets.join();
    ASSERT_TRUE(served);

    ServerReplies(42);
    EXPECT_EQ(accepted.load(), 101);
    EXPECT_EQ(log.Count("tavrin.net: reply connection from 127.0.0.1 ended: Connection reset by peer (10054)"), 100);
    ExpectNothingLeftOpen();
}

TEST_F(ReplyPort, SilentConnectionsAreClosedAfterTheSilenceLimit)
{
    keeper->replyConnections.SetLimits({200ms, 64, 4096});
    const auto start = std::chrono::steady_clock::now();
    std::vector<LoopbackPeer> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(ConnectFrom("127.0.0.1"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return Held() == 3; }));

    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
            return std::all_of(silent.begin(), silent.end(), [](LoopbackPeer& peer) { return ClosedByThePort(peer); });
        },
        3s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    ServerReplies(42);
    silent.clear();
    ExpectNothingLeftOpen();
}

TEST_F(ReplyPort, BeyondTheCountTheLongestSilentIsClosedFirst)
{
    keeper->replyConnections.SetLimits({30s, 3, 4096});
    std::vector<LoopbackPeer> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(ConnectFrom("127.0.0.1"));
        ASSERT_TRUE(ProcessEventsUntil([&] { return Held() == i + 1; }));
    }
    peers[0].Send(Frame(7)); // heard from: no longer the longest silent
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 7; }));

    peers.push_back(ConnectFrom("127.0.0.1"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return ClosedByThePort(peers[1]); }));
    EXPECT_EQ(Held(), 3);
    for (const int open : {0, 2, 3}) { // each still heard
        peers[open].Send(Frame(10 + open));
        EXPECT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == 10 + open; })) << open;
    }
    peers.clear();
    ExpectNothingLeftOpen();
}

TEST_F(ReplyPort, AConnectionSendingMoreThanItsShareIsClosedAndTheRestDropped)
{
    const testsupport::LogLines log;
    // 141 frames of 29 bytes fill 4,089 of the 4,096 bytes; the 142nd is cut by the limit.
    std::string flood;
    for (int echo = 1; echo <= 160; ++echo)
        flood += Frame(echo);
    LoopbackPeer sender = ConnectFrom("127.0.0.1");
    sender.Send(flood);
    ASSERT_TRUE(ProcessEventsUntil([&] { return ClosedByThePort(sender); }));

    ServerReplies(4242);
    EXPECT_EQ(face.timeCodesTaken, 142); // the 141 frames within the limit and the marker
    EXPECT_EQ(log.Count("tavrin.net: reply connection from 127.0.0.1 sent more than 4096 bytes: closed, the rest "
                        "dropped"),
              1);
    sender.Close();
    ExpectNothingLeftOpen();
}

TEST_F(ReplyPort, AFrameSplitAcrossReadsIsKeptUntilItsEndAndAppliedOnce)
{
    int reads = 0;
    const auto read = keeper->ServerSocket1->OnClientRead;
    keeper->ServerSocket1->OnClientRead = [&reads, read](QObject* sender, net::TCustomWinSocket* socket) {
        ++reads;
        read(sender, socket);
    };
    // Its first part read alone, then the rest: at every place of a frame, and inside the
    // second of two, whose first must not wait for it.
    struct Split {
        std::string bytes;
        std::size_t at;
        std::vector<int> echoCodes;
    };
    std::vector<Split> splits;
    for (std::size_t at = 1; at < Frame(1).size(); ++at)
        splits.push_back({Frame(static_cast<int>(at)), at, {static_cast<int>(at)}});
    splits.push_back({Frame(100) + Frame(101), Frame(100).size() + 5, {100, 101}});
    for (const Split& split : splits) {
        SCOPED_TRACE(split.bytes.substr(0, split.at) + " | " + split.bytes.substr(split.at));
        clock.SetUtc(kLongAgo);
        AwaitReply();
        clockSetter.ForgetSteps();
        const int taken = face.timeCodesTaken;
        LoopbackPeer reply = ConnectFrom("127.0.0.1");
        const int readsBefore = reads;
        reply.Send(split.bytes.substr(0, split.at));
        ASSERT_TRUE(ProcessEventsUntil([&] { return reads > readsBefore; }));
        const int firstWhole = split.echoCodes.size() > 1 ? 1 : 0;
        EXPECT_EQ(face.timeCodesTaken, taken + firstWhole);
        reply.Send(split.bytes.substr(split.at));
        reply.FinishSending();
        ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FEchoCode == split.echoCodes.back(); }));

        // Each frame stepped the clock once, into the second it carried (the second frame's
        // step meets the first's bound at that second's very start).
        ASSERT_EQ(clockSetter.steps.size(), split.echoCodes.size());
        EXPECT_EQ(SecondsSetTo().front(), 1211371200 + split.echoCodes.front());
        const auto lastSecond = std::chrono::sys_seconds(std::chrono::seconds(1211371200 + split.echoCodes.back()));
        EXPECT_GE(clock.utcNow, lastSecond - 5ms); // within the bound of a flight of a few ms
        EXPECT_LT(clock.utcNow, lastSecond + 1s);
        EXPECT_EQ(face.timeCodesTaken, taken + static_cast<int>(split.echoCodes.size()));
        EXPECT_THAT(face.statuses, testing::Not(testing::Contains("Invalid Time Code Supplied")));
    }
    ExpectNothingLeftOpen();
}

TEST_F(ReplyPort, AConnectionNotFinishedWithinItsTimeIsClosedHoweverBusy)
{
    const testsupport::LogLines log;
    keeper->replyConnections.SetLimits({.silence = 30s, .connections = 64, .bytes = 4096, .total = 1s});
    const auto start = std::chrono::steady_clock::now();
    // A byte every 200 ms: never silent for long, never done.
    LoopbackPeer slow = ConnectFrom("127.0.0.1");
    const std::string frame = Frame(7);
    std::size_t sent = 0;
    while (sent < frame.size() && !ClosedByThePort(slow)) {
        slow.Send(frame.substr(sent++, 1));
        testsupport::ProcessEventsFor(200ms);
    }
    EXPECT_LT(sent, frame.size()) << "never closed";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(log.Count("tavrin.net: reply connection from 127.0.0.1 not finished within 1000 ms: closed"), 1);
    EXPECT_EQ(log.Count("tavrin.net: reply connection from 127.0.0.1 ended inside a frame: " + std::to_string(sent)
                        + " bytes dropped"),
              1);

    ServerReplies(42); // the marker
    EXPECT_EQ(face.timeCodesTaken, 1);
    slow.Close();
    ExpectNothingLeftOpen();
}

// Another program holds the reply port, as another user's copy of the program would.
class ReplyPortHeld : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        ports.reply = holder.LocalPort();
        KeeperTest::SetUp();
    }

    std::string Notice() const
    {
        return "Another Tavrin Client on this PC receives the time (port " + std::to_string(ports.reply) + " in use)";
    }

    LoopbackPeer holder = LoopbackPeer::Listening();
    const testsupport::LogLines log; // from before the keeper's start
};

TEST_F(ReplyPortHeld, IsSaidOnceAndTakenAgainAtAFetchOnceFree)
{
    constexpr keeper::Notice kPortInUse = keeper::Notice::ReplyPortInUse;
    EXPECT_FALSE(keeper->ServerSocket1->Active());
    EXPECT_EQ(face.Status(), Notice());
    EXPECT_EQ(face.notices.at(kPortInUse), Notice());

    // Each fetch tries the port again, and sends no request meanwhile.
    keeper->FetchTimeAndDate();
    EXPECT_EQ(face.Status(), Notice());
    EXPECT_FALSE(keeper->LocalGroupTimer->isActive());
    EXPECT_EQ(face.notices.at(kPortInUse), Notice());

    holder.Close();
    keeper->FetchTimeAndDate();
    EXPECT_TRUE(keeper->ServerSocket1->Active());
    EXPECT_TRUE(keeper->LocalGroupTimer->isActive()); // the request is on its way
    EXPECT_EQ(face.notices.count(kPortInUse), 0u);
    EXPECT_EQ(log.Count("tavrin.net: " + Notice()), 1); // said at the start, not at each fetch
    EXPECT_EQ(log.Count("reply port " + std::to_string(keeper->ServerSocket1->Port()) + " taken"), 1);
}
