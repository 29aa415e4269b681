#pragma once

// The reply connections the keeper holds, and for how long. A real server connects, sends
// one or two frames of about 30 bytes within milliseconds and closes; a connection that
// stays silent, sends far more, or comes in a crowd is somebody else's, and is closed
// before it can hold descriptors or the main loop.

#include "net/custom_win_socket.h"

#include <QTimer>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace keeper {

struct ReplyConnectionLimits {
    std::chrono::milliseconds silence{30000}; // a connection silent this long is closed
    std::size_t connections = 64;             // held at once; the one silent longest goes first
    std::size_t bytes = 4096;                 // what one connection may send
};

class ReplyConnections {
public:
    using Limits = ReplyConnectionLimits;

    explicit ReplyConnections(Limits limits = {});
    ReplyConnections(const ReplyConnections&) = delete;
    ReplyConnections& operator=(const ReplyConnections&) = delete;

    void SetLimits(Limits limits);

    // Holds a connection that was let in, from `peer`; the one silent longest is closed when
    // this one is one too many.
    void Add(net::TCustomWinSocket* socket, std::string peer);
    // Forgets a connection that closed.
    void Remove(net::TCustomWinSocket* socket);
    // Closes the connection silent the longest, to make room for a new one when the
    // descriptors run out; false when none is held.
    bool CloseLongestSilent();
    struct Received {
        std::string text;            // what was read
        net::ReceiptTime receivedAt; // when the kernel received the last of it
    };
    // What `socket` has waiting, up to what it may still send. Past that the connection is
    // closed and the rest dropped; a connection that is not held gives nothing.
    Received Read(net::TCustomWinSocket& socket);

    // The peer a held connection came from; empty for any other.
    std::string PeerOf(const net::TCustomWinSocket* socket) const;
    std::size_t Count() const { return held_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        net::TCustomWinSocket* socket;
        std::string peer;
        Clock::time_point lastHeard;
        std::size_t received;
    };

    Held* Find(const net::TCustomWinSocket* socket);
    std::vector<Held>::iterator LongestSilent();
    void CloseSilent();
    void ArmSilenceTimer();
    static void Close(net::TCustomWinSocket& socket);

    Limits limits_;
    std::vector<Held> held_; // a few dozen at most: a scan is cheaper than an index
    QTimer silenceTimer_;
    bool crowded_ = false; // said once until no connection is left
};

} // namespace keeper
