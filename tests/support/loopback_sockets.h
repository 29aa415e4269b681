#pragma once

// Plain blocking sockets on 127.0.0.1 for tests that play the other side of a program:
// every port is one the system picked, so tests running side by side never meet.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A socket descriptor that closes itself.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    ~Socket();

    int Fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A TCP listener on 127.0.0.1 at a free port.
class LoopbackListener {
public:
    LoopbackListener();
    std::uint16_t Port() const { return port_; }

    // The next connection, or nothing when none comes within `timeout`.
    std::optional<Socket> Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

// Reads what arrives on `connection` until the peer closes it; one entry per read.
// Stops early, with what came so far, after `timeout`.
std::vector<std::string> ReadUntilClosed(const Socket& connection, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Connects to 127.0.0.1:`port` and writes `pieces` one by one, `pause` between them.
Socket ConnectAndSend(std::uint16_t port, const std::vector<std::string>& pieces,
                      std::chrono::milliseconds pause = std::chrono::milliseconds(0));

// True when the peer of `connection` closes it (or resets it) within `timeout`.
bool ClosedByPeer(const Socket& connection, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A free TCP port on 127.0.0.1 that nothing listens on, as far as can be known.
std::uint16_t UnusedPort();

// A UDP socket at a free port, joined to the group 224.0.0.1 on the loopback interface,
// which is where datagrams sent with IP_MULTICAST_IF 127.0.0.1 arrive.
class MulticastReceiver {
public:
    MulticastReceiver();
    std::uint16_t Port() const { return port_; }

    struct Datagram {
        std::string bytes;
        std::string sender; // dotted address
    };
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

} // namespace testsupport
