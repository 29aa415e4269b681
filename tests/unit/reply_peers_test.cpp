// Whose replies and status datagrams the window takes, by the peer's address.

#include "net/host_lookup.h"
#include "net/socket_errors.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"

#include <QLineEdit>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>

using net::inet::TIdSocketHandle;
using testsupport::ProcessEventsUntil;

class ReplyPeers : public testsupport::FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        // Names resolve here, to loopback addresses, without asking any resolver.
        net::SetHostResolver([this](const std::string& host) {
            if (host != "timeserver.test" || !resolves.load())
                return net::LookupResult{net::WSAHOST_NOT_FOUND, 0};
            return net::LookupResult{0, inet_addr("127.0.0.9")};
        });
    }
    void TearDown() override
    {
        FormTest::TearDown();
        net::SetHostResolver({});
    }

    // Runs a fetch to its end; nothing listens at the name's address.
    void Fetch()
    {
        form->FetchTimeAndDate();
        ASSERT_TRUE(ProcessEventsUntil([&] { return !form->LocalGroupTimer->Enabled(); }));
    }

    std::atomic<bool> resolves = true;
};

TEST_F(ReplyPeers, ADottedServerAddressIsTakenAsItStandsAndAnEmptyFieldTakesNothing)
{
    form->Edit1->setText("10.1.2.3");
    EXPECT_TRUE(form->TakesRepliesFrom("10.1.2.3"));
    for (const char* other : {"10.1.2.4", "10.1.2.30", "", "127.0.0.1"})
        EXPECT_FALSE(form->TakesRepliesFrom(other)) << other;

    form->Edit1->setText("");
    for (const char* peer : {"", "127.0.0.1", "0.0.0.0"})
        EXPECT_FALSE(form->TakesRepliesFrom(peer)) << peer;
}

TEST_F(ReplyPeers, ANameTakesTheAddressItResolvedToAndNothingElse)
{
    form->Edit1->setText("timeserver.test");
    EXPECT_FALSE(form->TakesRepliesFrom("127.0.0.9")); // not looked up yet

    Fetch();
    EXPECT_TRUE(form->TakesRepliesFrom("127.0.0.9"));
    for (const char* other : {"timeserver.test", "127.0.0.1", ""})
        EXPECT_FALSE(form->TakesRepliesFrom(other)) << other;

    form->Edit1->setText("otherserver.test"); // another name: nothing until it resolves
    EXPECT_FALSE(form->TakesRepliesFrom("127.0.0.9"));
    form->Edit1->setText("timeserver.test");
    EXPECT_TRUE(form->TakesRepliesFrom("127.0.0.9"));

    resolves = false; // the name stands for nothing now
    Fetch();
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Server name not found: timeserver.test");
    EXPECT_FALSE(form->TakesRepliesFrom("127.0.0.9"));
}

TEST_F(ReplyPeers, StatusDatagramsOfANamedServerComeFromItsAddress)
{
    form->Edit1->setText("timeserver.test");
    Fetch();
    TIdSocketHandle server;
    server.SetSender("127.0.0.9", 6649);
    form->IdIPMCastClient1IPMCastRead(nullptr, "3,0,1", server);
    EXPECT_EQ(form->tsStatus->Caption(), "NTP");
    TIdSocketHandle other;
    other.SetSender("127.0.0.1", 6649);
    form->IdIPMCastClient1IPMCastRead(nullptr, "1,0,2", other);
    EXPECT_EQ(form->tsStatus->Caption(), "NTP");
}
