#include "net/inet/ip_watch.h"
#include "net/inet/stack.h"
#include "platform/local_address_changes.h"
#include "platform/local_addresses.h"
#include "tests/integration/network_fixture.h"
#include "tests/support/event_loop.h"
#include "tests/support/stack_holder.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using net::inet::ProcessStack;
using net::inet::TIdIPWatch;
using net::inet::TIdStack;

namespace {

std::vector<std::string> ListedAsText()
{
    std::vector<std::string> texts;
    for (const platform::Ipv4Address& address : platform::SystemLocalAddresses().List())
        texts.push_back(TIdStack::AddressToText(address));
    return texts;
}

} // namespace

class LocalAddresses : public testsupport::PrivateNetworkTest {};

TEST_F(LocalAddresses, OnlyLoopbackWhenNothingElseIsUp)
{
    EXPECT_EQ(ListedAsText(), (std::vector<std::string>{"127.0.0.1"}));
}

TEST_F(LocalAddresses, OutwardAddressesComeFirstAndDownInterfacesNotAtAll)
{
    using testsupport::RunIp;
    ASSERT_TRUE(RunIp("link add outer0 type veth peer name outer1"));
    ASSERT_TRUE(RunIp("addr add 127.0.1.1/8 dev lo"));
    ASSERT_TRUE(RunIp("addr add 10.9.8.7/24 dev outer0"));
    ASSERT_TRUE(RunIp("addr add 10.9.8.8/24 dev outer0"));
    ASSERT_TRUE(RunIp("addr add 10.9.9.9/24 dev outer1"));
    ASSERT_TRUE(RunIp("link set outer0 up"));

    EXPECT_EQ(ListedAsText(), (std::vector<std::string>{"10.9.8.7", "10.9.8.8", "127.0.0.1", "127.0.1.1"}));

    testsupport::StackHolder holder;
    EXPECT_EQ(ProcessStack()->FirstLocalAddress(), "10.9.8.7");

    ASSERT_TRUE(RunIp("link set outer0 down"));
    EXPECT_EQ(ProcessStack()->FirstLocalAddress(), "127.0.0.1");
}

TEST_F(LocalAddresses, ChangesOfAddressesAndInterfacesAreTold)
{
    using testsupport::RunIp;
    platform::SystemLocalAddressChanges changes;
    EXPECT_TRUE(changes.MayHaveChanged()); // nothing was seen before
    EXPECT_FALSE(changes.MayHaveChanged());

    ASSERT_TRUE(RunIp("addr add 127.0.2.2/8 dev lo"));
    EXPECT_TRUE(changes.MayHaveChanged());
    EXPECT_FALSE(changes.MayHaveChanged());
    ASSERT_TRUE(RunIp("addr del 127.0.2.2/8 dev lo"));
    EXPECT_TRUE(changes.MayHaveChanged());

    ASSERT_TRUE(RunIp("link add watch0 type veth peer name watch1"));
    EXPECT_TRUE(changes.MayHaveChanged());
    ASSERT_TRUE(RunIp("addr add 10.9.7.7/24 dev watch0"));
    EXPECT_TRUE(changes.MayHaveChanged());
    ASSERT_TRUE(RunIp("link set watch0 up"));
    EXPECT_TRUE(changes.MayHaveChanged());
    ASSERT_TRUE(RunIp("link del watch0"));
    EXPECT_TRUE(changes.MayHaveChanged());
}

TEST_F(LocalAddresses, TheWatchSeesAnAddressComeAndGoWhenTheSystemTellsIt)
{
    using testsupport::RunIp;
    testsupport::Watchdog watchdog(std::chrono::seconds(60));
    ASSERT_TRUE(RunIp("link add watch0 type veth peer name watch1"));
    ASSERT_TRUE(RunIp("link set watch0 up"));
    TIdIPWatch watch;
    watch.HistoryEnabled = false;
    // An hour between looks of its own: within the test, only the system's notices make it look.
    watch.WatchInterval = 3'600'000;
    std::vector<bool> told;
    watch.OnStatusChanged = [&](net::inet::TIdComponent*) { told.push_back(watch.Online()); };
    watch.SetActive(true);

    // Whether its first look comes before the address or after, it finds the PC online once.
    ASSERT_TRUE(RunIp("addr add 10.9.6.6/24 dev watch0"));
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return told.size() == 1; })) << "the address was not seen";
    EXPECT_EQ(watch.CurrentAddress(), "10.9.6.6");
    ASSERT_TRUE(RunIp("addr del 10.9.6.6/24 dev watch0"));
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return told.size() == 2; })) << "its end was not seen";
    ASSERT_TRUE(RunIp("addr add 10.9.6.7/24 dev watch0"));
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return told.size() == 3; })) << "the new one was not seen";
    EXPECT_EQ(told, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(watch.CurrentAddress(), "10.9.6.7");
    watch.SetActive(false);
}
