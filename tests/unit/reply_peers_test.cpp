// Whose replies and status datagrams the keeper takes, by the peer's address.

#include "net/host_lookup.h"
#include "net/socket_errors.h"
#include "tests/support/datagram_sender.h"
#include "tests/support/event_loop.h"
#include "tests/support/keeper_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>

using net::inet::TIdSocketHandle;
using testsupport::ProcessEventsUntil;

class ReplyPeers : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        KeeperTest::SetUp();
        // Names resolve here, to loopback addresses, without asking any resolver.
        net::SetHostResolver([this](const std::string& host) {
            if (host != "timeserver.test" || !resolves.load())
                return net::LookupResult{net::WSAHOST_NOT_FOUND, 0};
            return net::LookupResult{0, inet_addr("127.0.0.9")};
        });
    }
    void TearDown() override
    {
        KeeperTest::TearDown();
        net::SetHostResolver({});
    }

    // Runs a fetch to its end; nothing listens at the name's address.
    void Fetch()
    {
        keeper->FetchTimeAndDate();
        ASSERT_TRUE(ProcessEventsUntil([&] { return !keeper->LocalGroupTimer->isActive(); }));
    }

    std::atomic<bool> resolves = true;
};

TEST_F(ReplyPeers, ADottedServerAddressIsTakenAsItStandsAndAnEmptyFieldTakesNothing)
{
    SetServer("10.1.2.3");
    EXPECT_TRUE(keeper->TakesRepliesFrom("10.1.2.3"));
    for (const char* other : {"10.1.2.4", "10.1.2.30", "", "127.0.0.1"})
        EXPECT_FALSE(keeper->TakesRepliesFrom(other)) << other;

    SetServer("");
    for (const char* peer : {"", "127.0.0.1", "0.0.0.0"})
        EXPECT_FALSE(keeper->TakesRepliesFrom(peer)) << peer;
}

TEST_F(ReplyPeers, ANameTakesTheAddressItResolvedToAndNothingElse)
{
    SetServer("timeserver.test");
    EXPECT_FALSE(keeper->TakesRepliesFrom("127.0.0.9")); // not looked up yet

    Fetch();
    EXPECT_TRUE(keeper->TakesRepliesFrom("127.0.0.9"));
    for (const char* other : {"timeserver.test", "127.0.0.1", ""})
        EXPECT_FALSE(keeper->TakesRepliesFrom(other)) << other;

    SetServer("otherserver.test"); // another name: nothing until it resolves
    EXPECT_FALSE(keeper->TakesRepliesFrom("127.0.0.9"));
    SetServer("timeserver.test");
    EXPECT_TRUE(keeper->TakesRepliesFrom("127.0.0.9"));

    resolves = false; // the name stands for nothing now
    Fetch();
    EXPECT_EQ(face.Status(), "Server name not found: timeserver.test");
    EXPECT_FALSE(keeper->TakesRepliesFrom("127.0.0.9"));
}

TEST_F(ReplyPeers, StatusDatagramsOfANamedServerComeFromItsAddress)
{
    SetServer("timeserver.test");
    Fetch();
    const testsupport::DatagramSender serverSocket("127.0.0.9"); // on this PC: its socket is looked up
    TIdSocketHandle server;
    server.SetSender("127.0.0.9", serverSocket.Port());
    keeper->IdIPMCastClient1IPMCastRead(nullptr, "3,0,1", server);
    ExpectBadge(3, 1);
    TIdSocketHandle other;
    other.SetSender("127.0.0.1", 6649);
    keeper->IdIPMCastClient1IPMCastRead(nullptr, "1,0,2", other);
    ExpectBadge(3, 1);
}
