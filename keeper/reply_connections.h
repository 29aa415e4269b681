#pragma once

// The reply connections the keeper holds, and for how long. A real server connects, sends
// one or two frames of about 30 bytes within milliseconds and closes; a connection that
// stays silent, takes long, sends far more, or comes in a crowd is somebody else's, and is
// closed before it can hold descriptors or the main loop.

#include "keeper/reply_frames.h"
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
    std::chrono::milliseconds total{10000};   // a connection still open this long after it was taken is closed
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
    // Closes every connection held, as the reply port is let go.
    void CloseAll();
    struct Received {
        std::string text;            // the whole frames these bytes complete
        net::ReceiptTime receivedAt; // when the kernel received the last of these bytes
        // What came where a frame should start (see ReplyFrames): the connection was closed
        // and none of this read is given.
        std::string junk;
    };
    // The whole frames that what `socket` has waiting, up to what it may still send,
    // completes; a frame still on its way waits for the next read. Past the bytes it may
    // send, or at anything but frames, the connection is closed and the rest dropped; a
    // connection that is not held gives nothing.
    Received Read(net::TCustomWinSocket& socket);

    // The peer a held connection came from; empty for any other.
    std::string PeerOf(const net::TCustomWinSocket* socket) const;
    std::size_t Count() const { return held_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        net::TCustomWinSocket* socket;
        std::string peer;
        Clock::time_point taken;
        Clock::time_point lastHeard;
        std::size_t received;
        ReplyFrames frames;
    };

    Held* Find(const net::TCustomWinSocket* socket);
    std::vector<Held>::iterator LongestSilent();
    // When a connection is closed unless it goes first: after its silence, or at its end.
    Clock::time_point DueAt(const Held& held) const;
    void CloseOverdue();
    void ArmCloseTimer();
    static void Close(net::TCustomWinSocket& socket);

    Limits limits_;
    std::vector<Held> held_; // a few dozen at most: a scan is cheaper than an index
    QTimer closeTimer_;
    bool crowded_ = false; // said once until no connection is left
};

} // namespace keeper
