#include "net/inet/exceptions.h"
#include "net/inet/socket_handle.h"
#include "platform/unique_fd.h"
#include "tests/integration/network_fixture.h"
#include "tests/support/raised_by.h"
#include "tests/support/stack_holder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace net::inet; // the components under test
using testsupport::RaisedBy;

namespace {

// A plain socket bound to `port` on every local address, without sharing it.
class PortHolder {
public:
    explicit PortHolder(int port) : descriptor_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        bound_ = bind(descriptor_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    bool Bound() const { return bound_; }

private:
    platform::UniqueFd descriptor_;
    bool bound_ = false;
};

bool IsOpen(int descriptor)
{
    return fcntl(descriptor, F_GETFD) != -1;
}

} // namespace

class SocketBinding : public testsupport::PrivateNetworkTest {
protected:
    testsupport::StackHolder holder;
};

TEST_F(SocketBinding, WildcardBindReadsBackTheAnyAddressAndThePort)
{
    TIdSocketHandle binding(6649);
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    EXPECT_TRUE(binding.DescriptorOpen());
    binding.BindLocal();
    EXPECT_EQ(binding.IP, "0.0.0.0");
    EXPECT_EQ(binding.Port, 6649);

    TIdSocketHandle chosen;
    chosen.IP = "127.0.0.1";
    chosen.CreateDescriptor(SOCK_DGRAM, 0);
    chosen.BindLocal();
    EXPECT_EQ(chosen.IP, "127.0.0.1");
    EXPECT_NE(chosen.Port, 0);
}

TEST_F(SocketBinding, PortHeldElsewhereIsReportedWithoutRaisingOnce)
{
    PortHolder other(6649);
    ASSERT_TRUE(other.Bound());
    TIdSocketHandle binding(6649);
    binding.CreateDescriptor(SOCK_DGRAM, 0);

    bool bound = true;
    EXPECT_NO_THROW(bound = binding.TryBindOnce());
    EXPECT_FALSE(bound);
    EXPECT_EQ(ProcessStack()->StackLastError(), 10048);
    EXPECT_EQ(RaisedBy<EIdCouldNotBindSocket>([&] { binding.BindLocal(); }),
              "Could not bind socket. Address and port are already in use.");
    // The socket stays open for another try.
    EXPECT_TRUE(binding.DescriptorOpen());
}

TEST_F(SocketBinding, ClosingTwiceLeavesTheNumbersNextOwnerAlone)
{
    TIdSocketHandle binding;
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    const int number = binding.Descriptor();
    binding.CloseDescriptor();
    EXPECT_FALSE(binding.DescriptorOpen());
    EXPECT_EQ(binding.Descriptor(), number);

    // Another socket now holds the same number.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    if (other != number) {
        ASSERT_EQ(dup2(other, number), number);
        close(other);
    }
    binding.CloseDescriptor();
    EXPECT_TRUE(IsOpen(number));
    close(number);
}

TEST_F(SocketBinding, NewSocketReplacesTheOldOne)
{
    TIdSocketHandle binding(6649);
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    binding.BindLocal();
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    EXPECT_TRUE(binding.DescriptorOpen());
    // The old socket let its port go.
    EXPECT_TRUE(PortHolder(6649).Bound());
}

TEST_F(SocketBinding, ClearingAddressesForgetsTheSenderAndReleasesTheSocket)
{
    TIdSocketHandle binding(6649);
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    binding.BindLocal();
    binding.SetSender("192.168.1.5", 5000);
    EXPECT_EQ(binding.SenderIP(), "192.168.1.5");
    EXPECT_EQ(binding.SenderPort(), 5000);

    binding.ClearAddresses(false);
    EXPECT_EQ(binding.SenderIP(), "");
    EXPECT_EQ(binding.SenderPort(), 0);
    EXPECT_EQ(binding.Descriptor(), -1);
    EXPECT_FALSE(binding.DescriptorOpen());
    EXPECT_EQ(binding.IP, "0.0.0.0");
    EXPECT_EQ(binding.Port, 6649);
    EXPECT_TRUE(PortHolder(6649).Bound());

    binding.ClearAddresses(true);
    EXPECT_EQ(binding.IP, "");
    EXPECT_EQ(binding.Port, 0);
}

TEST_F(SocketBinding, PortRangeTakesTheHighestFreePort)
{
    PortHolder highest(7002);
    ASSERT_TRUE(highest.Bound());
    TIdSocketHandle binding;
    binding.ClientPortMin = 7000;
    binding.ClientPortMax = 7002;
    binding.CreateDescriptor(SOCK_DGRAM, 0);
    binding.BindLocal();
    EXPECT_EQ(binding.Port, 7001);
}

TEST_F(SocketBinding, PortRangeFailuresHaveTheirOwnTexts)
{
    TIdSocketHandle backwards;
    backwards.ClientPortMin = 7002;
    backwards.ClientPortMax = 7000;
    backwards.CreateDescriptor(SOCK_DGRAM, 0);
    EXPECT_EQ(RaisedBy<EIdInvalidPortRange>([&] { backwards.BindLocal(); }), "Invalid Port Range (7002 - 7000)");

    PortHolder low(7000);
    PortHolder high(7001);
    TIdSocketHandle full;
    full.ClientPortMin = 7000;
    full.ClientPortMax = 7001;
    full.CreateDescriptor(SOCK_DGRAM, 0);
    EXPECT_EQ(RaisedBy<EIdCanNotBindPortInRange>([&] { full.BindLocal(); }),
              "Can not bind in port range (7000 - 7001)");
}

TEST_F(SocketBinding, CollectionFindsBindingsByDescriptorLastFirst)
{
    TIdSocketHandles bindings;
    bindings.DefaultPort = 6649;
    TIdSocketHandle& first = bindings.Add();
    TIdSocketHandle& second = bindings.Add();
    EXPECT_EQ(first.Port, 6649);
    EXPECT_EQ(bindings.Count(), 2);
    EXPECT_EQ(&bindings.Items(1), &second);
    // Neither has a socket yet: both carry -1.
    EXPECT_EQ(bindings.FindByDescriptor(-1), &second);

    first.CreateDescriptor(SOCK_DGRAM, 0);
    EXPECT_EQ(bindings.FindByDescriptor(first.Descriptor()), &first);
    EXPECT_EQ(bindings.FindByDescriptor(first.Descriptor() + 100), nullptr);
}
