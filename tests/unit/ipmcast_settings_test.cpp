// The multicast listener's settings, which need no network.

#include "net/inet/exceptions.h"
#include "net/inet/ipmcast_client.h"
#include "net/inet/thread.h"
#include "tests/support/raised_by.h"

#include <gtest/gtest.h>

using namespace net::inet; // the components under test
using testsupport::RaisedBy;

TEST(MulticastSettings, GroupMustBeAMulticastAddress)
{
    TIdIPMCastClient client;
    EXPECT_EQ(client.MulticastGroup(), "224.0.0.1");
    client.SetMulticastGroup("239.255.255.255");
    EXPECT_EQ(client.MulticastGroup(), "239.255.255.255");
    client.SetMulticastGroup("224.0.0.0");
    EXPECT_EQ(client.MulticastGroup(), "224.0.0.0");

    for (const char* refused : {"240.0.0.1", "223.255.255.255", "224.0.0", "224.0.0.1.5", "", "224.0.0.x"}) {
        EXPECT_EQ(RaisedBy<EIdMCastNotValidAddress>([&] { client.SetMulticastGroup(refused); }),
                  "The supplied IP address is not a valid multicast address [224.0.0.0 to 239.255.255.255].")
            << refused;
        EXPECT_EQ(client.MulticastGroup(), "224.0.0.0");
    }
}

TEST(MulticastSettings, SwitchingOnWithoutAnyPortRaises)
{
    TIdIPMCastClient client;
    const int threads = TIdThread::LiveThreadCount();
    EXPECT_EQ(RaisedBy<EIdMCastNoBindings>([&] { client.SetActive(true); }), "No bindings specified.");
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Bindings().Count(), 0);
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
}

TEST(MulticastSettings, SwitchedOnWhileLoadingWaitsForTheEndOfLoading)
{
    TIdIPMCastClient client(ComponentStart::Loading);
    client.SetActive(true);
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(client.Bindings().Count(), 0);
    client.SetActive(false);
    EXPECT_FALSE(client.Active());
    // Nothing was noted, so the end of loading joins nothing (and raises nothing
    // though no port is set).
    EXPECT_NO_THROW(client.Loaded());
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(client.Loading());
}
