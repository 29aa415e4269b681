#pragma once

// Plain blocking sockets on 127.0.0.1 that play the other side of a program, written without
// the components under test: every port is one the system picked, so tests running side by
// side never meet, and every wait is bounded.

#include "platform/unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// One end of a TCP connection, or a listener.
class LoopbackPeer {
public:
    LoopbackPeer() = default;
    explicit LoopbackPeer(platform::UniqueFd descriptor) : descriptor_(std::move(descriptor)) {}

    // Listening on an ephemeral port.
    static LoopbackPeer Listening();
    // Bound to an ephemeral port without listening: a connection to it is refused.
    static LoopbackPeer BoundOnly();
    // Connected to `port` of 127.0.0.1, from 127.0.0.1 or from another loopback `source`.
    static LoopbackPeer ConnectedTo(int port);
    static LoopbackPeer ConnectedFrom(const std::string& source, int port);

    explicit operator bool() const { return static_cast<bool>(descriptor_); }
    int Descriptor() const { return descriptor_.Get(); }
    int LocalPort() const;
    // The next connection of a listening peer; an invalid peer when none came in time.
    LoopbackPeer Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    void Send(const std::string& bytes);
    // Reads until `count` bytes came, the other end closed, or the time ran out.
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until the other end closes, one entry per read, as the bytes came; stops early,
    // with what came so far, after `timeout`.
    std::vector<std::string> ReadsUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the other end to close (or reset); bytes still coming are read and dropped.
    bool SeesClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Closes with a reset instead of the orderly close.
    void Reset();
    void Close() { descriptor_.Reset(); }
    // Ends the sending side only (the orderly close's first half) and keeps the socket, as a
    // server does whose replies a client on this PC must still see the owner of.
    void FinishSending();

private:
    platform::UniqueFd descriptor_;
};

// The local port of a socket descriptor, such as a component's listener.
int LocalPortOf(int descriptor);
// The port of the other end of a connected socket descriptor.
int PeerPortOf(int descriptor);

// A TCP port of 127.0.0.1 that nothing listens on, as far as can be known.
int UnusedPort();
// Whether something listens on TCP `port` of 127.0.0.1: a connection there is taken.
bool Listens(int port);

// A UDP socket joined to the group 224.0.0.1 on the loopback interface, which is where
// datagrams sent with IP_MULTICAST_IF 127.0.0.1 arrive: at a free port, or at `port` beside
// the other listeners of the group there.
class MulticastReceiver {
public:
    explicit MulticastReceiver(int port = 0);
    int Port() const { return LocalPortOf(socket_.Get()); }

    struct Datagram {
        std::string bytes;
        std::string sender; // dotted address
    };
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    platform::UniqueFd socket_;
};

} // namespace testsupport
