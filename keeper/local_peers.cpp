#include "keeper/local_peers.h"

#include "platform/local_addresses.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <system_error>

namespace keeper {
namespace {

using Where = platform::PeerSocket::Where;

bool IsLoopback(const std::string& dotted)
{
    in_addr address{};
    return inet_pton(AF_INET, dotted.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool IsAddressOfThisPc(const std::string& dotted)
{
    if (IsLoopback(dotted))
        return true;
    try {
        for (const platform::Ipv4Address& address : platform::SystemLocalAddresses().List()) {
            char text[INET_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET, address.data(), text, sizeof text) && dotted == text)
                return true;
        }
    } catch (const std::system_error&) {
        return true; // when in doubt, the stricter rule
    }
    return false;
}

std::string WhyNotOurs(uid_t owner)
{
    if (owner == 0 || owner == geteuid())
        return "";
    return "its socket belongs to user " + std::to_string(owner) + ", not to root or to user "
         + std::to_string(geteuid());
}

} // namespace

std::string WhyNotTheServersOwn(platform::PeerSockets& sockets, int connection, const std::string& peer)
{
    const platform::PeerSocket socket = sockets.LookUp(connection);
    switch (socket.where) {
    case Where::Elsewhere:
        return IsLoopback(peer) ? "its socket cannot be found on this PC" : "";
    case Where::Unknown:
        return IsAddressOfThisPc(peer) ? "the owner of its socket cannot be told on this PC" : "";
    case Where::ThisPc:
        return socket.owner ? WhyNotOurs(*socket.owner)
                            : "it was closed before it was taken, so its owner cannot be told";
    }
    return "its socket cannot be told apart";
}

std::string WhyNotTheServersDatagram(platform::PeerSockets& sockets, const std::string& sender, int senderPort,
                                     const std::string& receiver, int receiverPort)
{
    // Unlike a connection, a datagram leaves nothing behind on its way in: whether its sender
    // is on this PC is told by the address alone.
    if (!IsAddressOfThisPc(sender))
        return "";
    const platform::PeerSocket socket = sockets.LookUpSender(sender, senderPort, receiver, receiverPort);
    switch (socket.where) {
    case Where::Elsewhere:
        return "its socket cannot be found on this PC: it is closed already, or never was";
    case Where::Unknown:
        return "the owner of its socket cannot be told on this PC";
    case Where::ThisPc:
        return socket.owner ? WhyNotOurs(*socket.owner) : "its socket is closed, so its owner cannot be told";
    }
    return "its socket cannot be told apart";
}

} // namespace keeper
