#include "tests/support/loopback_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <utility>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t BoundPort(const Socket& socket)
{
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

Socket BoundSocket(int type, in_addr_t address)
{
    Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in at = Loopback(0);
    at.sin_addr.s_addr = address;
    if (!socket || bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        throw std::runtime_error("cannot bind a test socket");
    return socket;
}

bool Readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(std::max<long>(timeout.count(), 0))) > 0;
}

std::chrono::milliseconds Left(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

} // namespace

Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Socket::~Socket()
{
    if (fd_ >= 0)
        close(fd_);
}

LoopbackListener::LoopbackListener() : socket_(BoundSocket(SOCK_STREAM, htonl(INADDR_LOOPBACK)))
{
    if (listen(socket_.Fd(), 8) != 0)
        throw std::runtime_error("cannot listen on a test socket");
    port_ = BoundPort(socket_);
}

std::optional<Socket> LoopbackListener::Accept(std::chrono::milliseconds timeout)
{
    if (!Readable(socket_.Fd(), timeout))
        return std::nullopt;
    return Socket(accept4(socket_.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

std::vector<std::string> ReadUntilClosed(const Socket& connection, std::chrono::milliseconds timeout)
{
    std::vector<std::string> reads;
    const auto deadline = Clock::now() + timeout;
    while (Readable(connection.Fd(), Left(deadline))) {
        char buffer[4096];
        const ssize_t got = recv(connection.Fd(), buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        reads.emplace_back(buffer, static_cast<std::size_t>(got));
    }
    return reads;
}

Socket ConnectAndSend(std::uint16_t port, const std::vector<std::string>& pieces, std::chrono::milliseconds pause)
{
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = Loopback(port);
    if (!socket || connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(pause);
        send(socket.Fd(), pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
    }
    return socket;
}

bool ClosedByPeer(const Socket& connection, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Readable(connection.Fd(), Left(deadline))) {
        char byte;
        if (recv(connection.Fd(), &byte, 1, 0) <= 0)
            return true;
    }
    return false;
}

std::uint16_t UnusedPort()
{
    return LoopbackListener().Port(); // closed again as it goes
}

MulticastReceiver::MulticastReceiver() : socket_(BoundSocket(SOCK_DGRAM, htonl(INADDR_ANY)))
{
    ip_mreq membership{};
    inet_pton(AF_INET, "224.0.0.1", &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (setsockopt(socket_.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        throw std::runtime_error("cannot join 224.0.0.1 on the loopback interface");
    port_ = BoundPort(socket_);
}

std::optional<MulticastReceiver::Datagram> MulticastReceiver::Receive(std::chrono::milliseconds timeout)
{
    if (!Readable(socket_.Fd(), timeout))
        return std::nullopt;
    char buffer[8192];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = recvfrom(socket_.Fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0)
        return std::nullopt;
    char senderText[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sender.sin_addr, senderText, sizeof senderText);
    return Datagram{std::string(buffer, static_cast<std::size_t>(got)), senderText};
}

} // namespace testsupport
