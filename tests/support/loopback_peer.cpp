#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace testsupport {
namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int NewSocket()
{
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        throw std::runtime_error("socket failed");
    return descriptor;
}

LoopbackPeer Bound()
{
    LoopbackPeer peer(NewSocket());
    const sockaddr_in address = Loopback(0);
    if (bind(peer.Descriptor(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind failed");
    return peer;
}

bool WaitReadable(int descriptor, std::chrono::milliseconds timeout)
{
    pollfd watch{descriptor, POLLIN, 0};
    return poll(&watch, 1, static_cast<int>(timeout.count())) == 1;
}

} // namespace

LoopbackPeer::~LoopbackPeer()
{
    Close();
}

LoopbackPeer::LoopbackPeer(LoopbackPeer&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

LoopbackPeer& LoopbackPeer::operator=(LoopbackPeer&& other) noexcept
{
    if (this != &other) {
        Close();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

LoopbackPeer LoopbackPeer::Listening()
{
    LoopbackPeer peer = Bound();
    if (listen(peer.descriptor_, 5) != 0)
        throw std::runtime_error("listen failed");
    return peer;
}

LoopbackPeer LoopbackPeer::BoundOnly()
{
    return Bound();
}

LoopbackPeer LoopbackPeer::ConnectedTo(int port)
{
    return ConnectedFrom("127.0.0.1", port);
}

LoopbackPeer LoopbackPeer::ConnectedFrom(const std::string& source, int port)
{
    LoopbackPeer peer(NewSocket());
    sockaddr_in from = Loopback(0);
    if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1
        || bind(peer.descriptor_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
        throw std::runtime_error("bind to " + source + " failed");
    const sockaddr_in address = Loopback(port);
    if (connect(peer.descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("connect failed");
    return peer;
}

int LoopbackPeer::LocalPort() const
{
    return LocalPortOf(descriptor_);
}

int LocalPortOf(int descriptor)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

LoopbackPeer LoopbackPeer::Accept(std::chrono::milliseconds timeout)
{
    if (!WaitReadable(descriptor_, timeout))
        return LoopbackPeer();
    return LoopbackPeer(accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC));
}

void LoopbackPeer::Send(const std::string& bytes)
{
    if (send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send failed");
}

std::string LoopbackPeer::Receive(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string received;
    char buffer[4096];
    while (received.size() < count && WaitReadable(descriptor_, timeout)) {
        const ssize_t got = recv(descriptor_, buffer, std::min(sizeof buffer, count - received.size()), 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    return received;
}

bool LoopbackPeer::SeesClose(std::chrono::milliseconds timeout)
{
    char buffer[4096];
    while (WaitReadable(descriptor_, timeout)) {
        const ssize_t got = recv(descriptor_, buffer, sizeof buffer, 0);
        if (got <= 0)
            return true;
    }
    return false;
}

void LoopbackPeer::Reset()
{
    const linger abortive{1, 0};
    setsockopt(descriptor_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
}

void LoopbackPeer::Close()
{
    if (descriptor_ != -1)
        close(std::exchange(descriptor_, -1));
}

} // namespace testsupport
