#pragma once

#include <chrono>
#include <string>

namespace testsupport {

// A plain blocking socket on 127.0.0.1 that plays the other end of a connection, written
// without the components under test. Every wait is bounded.
class LoopbackPeer {
public:
    LoopbackPeer() = default;
    explicit LoopbackPeer(int descriptor) : descriptor_(descriptor) {}
    ~LoopbackPeer();
    LoopbackPeer(LoopbackPeer&& other) noexcept;
    LoopbackPeer& operator=(LoopbackPeer&& other) noexcept;
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // Listening on an ephemeral port.
    static LoopbackPeer Listening();
    // Bound to an ephemeral port without listening: a connection to it is refused.
    static LoopbackPeer BoundOnly();
    // Connected to `port` of 127.0.0.1, from 127.0.0.1 or from another loopback `source`.
    static LoopbackPeer ConnectedTo(int port);
    static LoopbackPeer ConnectedFrom(const std::string& source, int port);

    int Descriptor() const { return descriptor_; }
    int LocalPort() const;
    // The next connection of a listening peer; an invalid peer when none came in time.
    LoopbackPeer Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    void Send(const std::string& bytes);
    // Reads until `count` bytes came, the other end closed, or the time ran out.
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the other end to close; bytes still coming are read and dropped.
    bool SeesClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Closes with a reset instead of the orderly close.
    void Reset();
    void Close();

private:
    int descriptor_ = -1;
};

// The local port of a socket descriptor, such as a component's listener.
int LocalPortOf(int descriptor);

} // namespace testsupport
