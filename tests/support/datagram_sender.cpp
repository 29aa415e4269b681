#include "tests/support/datagram_sender.h"

#include "tests/support/private_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

namespace testsupport {
namespace {

sockaddr_in AddressOf(const std::string& ip, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!ip.empty())
        inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

} // namespace

DatagramSender::DatagramSender(const std::string& sourceIp, int sourcePort)
    : descriptor_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    // Multicast leaves by loopback, or not at all.
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    if (!descriptor_ || setsockopt(descriptor_.Get(), IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0)
        throw std::runtime_error("cannot make a sender of multicast on loopback");
    if (!sourceIp.empty() || sourcePort != 0) {
        const sockaddr_in source = AddressOf(sourceIp, sourcePort);
        if (bind(descriptor_.Get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
            throw std::runtime_error("cannot send from " + sourceIp + ":" + std::to_string(sourcePort));
    }
}

DatagramSender DatagramSender::OutOf(const std::string& address)
{
    if (const std::string why = EnterPrivateNetwork(); !why.empty())
        throw std::runtime_error("no private network to send multicast in: " + why);
    DatagramSender sender(address);
    const sockaddr_in local = AddressOf(address, 0);
    if (setsockopt(sender.descriptor_.Get(), IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof local.sin_addr) != 0)
        throw std::runtime_error("cannot send multicast out of the interface of " + address);
    return sender;
}

bool DatagramSender::Send(std::string_view bytes, const std::string& ip, int port)
{
    const sockaddr_in target = AddressOf(ip, port);
    return sendto(descriptor_.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                  sizeof target)
        == static_cast<ssize_t>(bytes.size());
}

int DatagramSender::Port() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    return getsockname(descriptor_.Get(), reinterpret_cast<sockaddr*>(&local), &length) == 0 ? ntohs(local.sin_port)
                                                                                             : 0;
}

} // namespace testsupport
