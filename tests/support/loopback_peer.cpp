#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

platform::UniqueFd BoundSocket(int type, const sockaddr_in& address)
{
    platform::UniqueFd socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!socket || bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind a test socket");
    return socket;
}

bool WaitReadable(int descriptor, std::chrono::milliseconds timeout)
{
    pollfd watch{descriptor, POLLIN, 0};
    return poll(&watch, 1, static_cast<int>(std::max<long>(timeout.count(), 0))) == 1;
}

std::chrono::milliseconds Left(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

int PortOf(const sockaddr_in& address)
{
    return ntohs(address.sin_port);
}

} // namespace

LoopbackPeer LoopbackPeer::Listening()
{
    LoopbackPeer peer = BoundOnly();
    if (listen(peer.Descriptor(), 5) != 0)
        throw std::runtime_error("listen failed");
    return peer;
}

LoopbackPeer LoopbackPeer::BoundOnly()
{
    return LoopbackPeer(BoundSocket(SOCK_STREAM, Loopback(0)));
}

LoopbackPeer LoopbackPeer::ConnectedTo(int port)
{
    return ConnectedFrom("127.0.0.1", port);
}

LoopbackPeer LoopbackPeer::ConnectedFrom(const std::string& source, int port)
{
    sockaddr_in from = Loopback(0);
    if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1)
        throw std::runtime_error("not an address: " + source);
    LoopbackPeer peer(BoundSocket(SOCK_STREAM, from));
    const sockaddr_in to = Loopback(port);
    if (connect(peer.Descriptor(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    return peer;
}

int LoopbackPeer::LocalPort() const
{
    return LocalPortOf(Descriptor());
}

LoopbackPeer LoopbackPeer::Accept(std::chrono::milliseconds timeout)
{
    if (!WaitReadable(Descriptor(), timeout))
        return LoopbackPeer();
    return LoopbackPeer(platform::UniqueFd(accept4(Descriptor(), nullptr, nullptr, SOCK_CLOEXEC)));
}

void LoopbackPeer::Send(const std::string& bytes)
{
    if (send(Descriptor(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send failed");
}

std::string LoopbackPeer::Receive(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string received;
    char buffer[4096];
    const auto deadline = Clock::now() + timeout;
    while (received.size() < count && WaitReadable(Descriptor(), Left(deadline))) {
        const ssize_t got = recv(Descriptor(), buffer, std::min(sizeof buffer, count - received.size()), 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    return received;
}

std::vector<std::string> LoopbackPeer::ReadsUntilClosed(std::chrono::milliseconds timeout)
{
    std::vector<std::string> reads;
    char buffer[4096];
    const auto deadline = Clock::now() + timeout;
    while (WaitReadable(Descriptor(), Left(deadline))) {
        const ssize_t got = recv(Descriptor(), buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        reads.emplace_back(buffer, static_cast<std::size_t>(got));
    }
    return reads;
}

bool LoopbackPeer::SeesClose(std::chrono::milliseconds timeout)
{
    char buffer[4096];
    const auto deadline = Clock::now() + timeout;
    while (WaitReadable(Descriptor(), Left(deadline))) {
        if (recv(Descriptor(), buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

void LoopbackPeer::Reset()
{
    const linger abortive{1, 0};
    // Without the option the close is an orderly one, which the test would then see.
    if (setsockopt(Descriptor(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0)
        throw std::runtime_error("cannot arm a reset");
    Close();
}

void LoopbackPeer::FinishSending()
{
    if (shutdown(Descriptor(), SHUT_WR) != 0)
        throw std::runtime_error("cannot end the sending side");
}

int LocalPortOf(int descriptor)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    return getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? PortOf(address) : 0;
}

int PeerPortOf(int descriptor)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    return getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? PortOf(address) : 0;
}

int UnusedPort()
{
    return LoopbackPeer::BoundOnly().LocalPort(); // free again as it goes
}

bool Listens(int port)
{
    try {
        LoopbackPeer::ConnectedTo(port);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

MulticastReceiver::MulticastReceiver(int port)
{
    socket_ = platform::UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int share = 1;
    sockaddr_in any = Loopback(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    inet_pton(AF_INET, "224.0.0.1", &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket_ || setsockopt(socket_.Get(), SOL_SOCKET, SO_REUSEADDR, &share, sizeof share) != 0
        || bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0
        || setsockopt(socket_.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        throw std::runtime_error("cannot join 224.0.0.1 on the loopback interface");
}

std::optional<MulticastReceiver::Datagram> MulticastReceiver::Receive(std::chrono::milliseconds timeout)
{
    if (!WaitReadable(socket_.Get(), timeout))
        return std::nullopt;
    char buffer[8192];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t got =
        recvfrom(socket_.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0)
        return std::nullopt;
    char senderText[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sender.sin_addr, senderText, sizeof senderText);
    return Datagram{std::string(buffer, static_cast<std::size_t>(got)), senderText};
}

} // namespace testsupport
