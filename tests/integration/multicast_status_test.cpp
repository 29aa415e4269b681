// The window hears the configured server's status datagrams through the real listener,
// switched on by the address watch, in a network namespace of the test's own.

#include "tests/support/datagram_sender.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"
#include "tests/support/private_network.h"

#include <QLineEdit>

#include <gtest/gtest.h>

class WindowMulticast : public testsupport::FormTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        FormTest::SetUp();
        form->Edit1->setText("127.0.0.1");
    }

    void GoOnline()
    {
        addresses.addresses = {{10, 0, 0, 5}, {127, 0, 0, 1}};
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return form->IdIPMCastClient1->Active(); }));
    }

    // Sends until the badge shows `caption`, as the first datagrams may come before the join.
    bool SendUntilShown(testsupport::DatagramSender& sender, const std::string& datagram, const std::string& caption)
    {
        return testsupport::ProcessEventsUntil([&] {
            sender.Send(datagram, "224.0.0.1", 6649);
            testsupport::ProcessEventsFor(std::chrono::milliseconds(20));
            return form->tsStatus->Caption() == caption;
        });
    }
};

TEST_F(WindowMulticast, TheBadgeFollowsTheServerOnceOnline)
{
    testsupport::DatagramSender server("127.0.0.1");
    server.Send("1,0,2", "224.0.0.1", 6649);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(300));
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown"); // offline: not listening

    GoOnline();
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
    ASSERT_TRUE(SendUntilShown(server, "3,0,0", "NTP"));
    EXPECT_EQ(form->tsStatus->Color(), 0x0000FFu);
}

TEST_F(WindowMulticast, AnotherSenderChangesNothing)
{
    GoOnline();
    testsupport::DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    testsupport::DatagramSender stranger("127.0.0.2");
    for (int i = 0; i < 10; ++i)
        stranger.Send("3,0,0", "224.0.0.1", 6649);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(300));
    EXPECT_EQ(form->tsStatus->Caption(), "GPS");
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
}

TEST_F(WindowMulticast, ABadDatagramLeavesTheListenerListening)
{
    GoOnline();
    testsupport::DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    server.Send(std::string(9000, 'x'), "224.0.0.1", 6649);
    server.Send(std::string_view("\0" "3,0,0", 6), "224.0.0.1", 6649);
    server.Send("x,0,0", "224.0.0.1", 6649);
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return form->tsStatus->Caption() == "Unknown"; }));
    ASSERT_TRUE(SendUntilShown(server, "3,0,1", "NTP"));
}

TEST_F(WindowMulticast, GoingOfflineStopsTheListener)
{
    GoOnline();
    addresses.addresses = {{127, 0, 0, 1}};
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return !form->IdIPMCastClient1->Active(); }));
    testsupport::DatagramSender server("127.0.0.1");
    server.Send("1,0,2", "224.0.0.1", 6649);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(300));
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown");
}
