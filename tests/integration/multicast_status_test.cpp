// The window hears the configured server's status datagrams through the real listener,
// switched on by the address watch, in a network namespace of the test's own.

#include "tests/support/datagram_sender.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"
#include "tests/support/private_network.h"

#include <QLineEdit>

#include <gtest/gtest.h>

using app::TColor;
using net::inet::TIdComponent;
using net::inet::TIdSocketHandle;
using testsupport::DatagramSender;
using testsupport::ProcessEventsUntil;

class WindowMulticast : public testsupport::FormTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        FormTest::SetUp();
        form->Edit1->setText("127.0.0.1");
        // The badge after each datagram the window was handed, whoever sent it.
        const auto handler = form->IdIPMCastClient1->OnIPMCastRead;
        form->IdIPMCastClient1->OnIPMCastRead = [this, handler](TIdComponent* from, std::string_view data,
                                                                TIdSocketHandle& binding) {
            handler(from, data, binding);
            heard.push_back({binding.SenderIP(), form->tsStatus->Caption(), form->tsStatus->Color()});
        };
    }

    void GoOnline()
    {
        addresses.addresses = {{10, 0, 0, 5}, {127, 0, 0, 1}};
        ASSERT_TRUE(ProcessEventsUntil([&] { return form->IdIPMCastClient1->Active(); }));
    }

    // Sends until the badge shows `caption`, as the first datagrams may come before the join.
    bool SendUntilShown(DatagramSender& sender, const std::string& datagram, const std::string& caption)
    {
        return ProcessEventsUntil([&] {
            sender.Send(datagram, "224.0.0.1", 6649);
            const auto shown = [&] { return form->tsStatus->Caption() == caption; };
            return ProcessEventsUntil(shown, std::chrono::milliseconds(20));
        });
    }

    struct Heard {
        std::string sender;
        std::string caption;
        TColor colour;
    };
    std::vector<Heard> heard;
};

TEST_F(WindowMulticast, OfflineTheListenerStaysOff)
{
    // Two looks of the watch: the second begins once the first has had its effect.
    const int lookups = addresses.lookups;
    ASSERT_TRUE(ProcessEventsUntil([&] { return addresses.lookups >= lookups + 2; }));
    EXPECT_FALSE(form->IdIPWatch1->Online());
    EXPECT_FALSE(form->IdIPMCastClient1->Active());
}

TEST_F(WindowMulticast, TheBadgeFollowsTheServerOnceOnline)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    EXPECT_EQ(form->tsStatus->Color(), 0x00FF00u);
    ASSERT_TRUE(SendUntilShown(server, "3,0,0", "NTP"));
    EXPECT_EQ(form->tsStatus->Color(), 0x0000FFu);
}

TEST_F(WindowMulticast, AnotherSenderChangesNothing)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    DatagramSender stranger("127.0.0.2");
    for (int i = 0; i < 10; ++i)
        stranger.Send("3,0,0", "224.0.0.1", 6649);
    server.Send("1,0,1", "224.0.0.1", 6649); // the marker: yellow, after all of the stranger's
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->tsStatus->Color() == 0x00FFFFu; }));

    int fromStranger = 0;
    for (const Heard& datagram : heard) {
        if (datagram.sender != "127.0.0.2")
            continue;
        ++fromStranger;
        EXPECT_EQ(datagram.caption, "GPS");
        EXPECT_EQ(datagram.colour, 0x00FF00u);
    }
    EXPECT_EQ(fromStranger, 10);
}

TEST_F(WindowMulticast, ABadDatagramLeavesTheListenerListening)
{
    GoOnline();
    DatagramSender server("127.0.0.1");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));
    server.Send(std::string(9000, 'x'), "224.0.0.1", 6649);
    server.Send(std::string_view("\0"
                                 "3,0,0",
                                 6),
                "224.0.0.1", 6649);
    server.Send("x,0,0", "224.0.0.1", 6649);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->tsStatus->Caption() == "Unknown"; }));
    ASSERT_TRUE(SendUntilShown(server, "3,0,1", "NTP"));
}

TEST_F(WindowMulticast, WithoutADefaultRouteItListensOnTheInterfaceOfItsAddressWherever)
{
    ASSERT_TRUE(testsupport::MakeLanWithoutRoutes());
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.1/24 dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.9.0.9/24 dev lan0"));
    form->Edit1->setText("10.9.0.9");
    addresses.addresses = {{10, 9, 0, 1}, {127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->IdIPMCastClient1->Active(); }));
    DatagramSender server = DatagramSender::OutOf("10.9.0.9");
    ASSERT_TRUE(SendUntilShown(server, "1,0,2", "GPS"));

    // The PC, and the server with it, move to the other interface.
    ASSERT_TRUE(testsupport::RunIp("addr flush dev lan0"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.1/24 dev lan1"));
    ASSERT_TRUE(testsupport::RunIp("addr add 10.8.0.9/24 dev lan1"));
    form->Edit1->setText("10.8.0.9");
    addresses.addresses = {{10, 8, 0, 1}, {127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->IdIPMCastClient1->InterfaceAddress() == "10.8.0.1"; }));
    EXPECT_TRUE(form->IdIPMCastClient1->Active());
    DatagramSender moved = DatagramSender::OutOf("10.8.0.9");
    ASSERT_TRUE(SendUntilShown(moved, "3,0,0", "NTP"));
}

TEST_F(WindowMulticast, GoingOfflineStopsTheListener)
{
    GoOnline();
    addresses.addresses = {{127, 0, 0, 1}};
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form->IdIPMCastClient1->Active(); }));
    // Out of the group, with its socket closed: nothing can reach the window any more.
    EXPECT_EQ(form->IdIPMCastClient1->ActiveBinding(), nullptr);
    EXPECT_FALSE(form->IdIPMCastClient1->Bindings().Items(0).DescriptorOpen());
}
