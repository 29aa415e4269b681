#include "net/inet/stack.h"
#include "platform/local_address_changes.h"
#include "platform/local_addresses.h"
#include "tests/integration/network_fixture.h"
#include "tests/support/stack_holder.h"

#include <gtest/gtest.h>

using net::inet::ProcessStack;
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
