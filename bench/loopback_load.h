#pragma once

// The far end of the socket benchmarks: a thread that opens connections to a server on
// loopback, sends each one frame and closes it, paced by what the server has accepted.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace bench {

inline constexpr std::size_t kFrameSize = 40;

// The 40-byte frame of connection `id`: "{", the id in eight digits, filler, "}".
std::string FrameFor(int id);
// The id of a frame, or -1 when `frame` is not one.
int IdOfFrame(const std::string& frame);

// Counts the server's accepted connections, so that the load never has more waiting in the
// kernel's accept queue than a backlog of 5 holds; beyond that the kernel drops handshakes
// and the load would measure its retransmission timer.
class AcceptGate {
public:
    void Accepted();
    // False when the server fell that far behind for `timeout`.
    bool WaitForAccepted(int count, std::chrono::milliseconds timeout);
    int Accepted() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int accepted_ = 0;
};

struct LoadPlan {
    int port = 0;
    int connections = 0;
    int openAtOnce = 1; // connections held open together; the oldest is closed first
    int resetEvery = 0; // every n-th connection is reset instead of closed; 0 for none
};

class LoopbackLoad {
public:
    LoopbackLoad(LoadPlan plan, AcceptGate& gate);
    ~LoopbackLoad();
    LoopbackLoad(const LoopbackLoad&) = delete;
    LoopbackLoad& operator=(const LoopbackLoad&) = delete;

    // Waits for the thread; returns what went wrong, empty when nothing did.
    std::string Join();
    bool ResetsConnection(int id) const;

private:
    void Run();

    LoadPlan plan_;
    AcceptGate& gate_;
    std::string failure_;
    std::thread thread_;
};

} // namespace bench
