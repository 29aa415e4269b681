#include "bench/loopback_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <utility>

namespace bench {
namespace {

// A handshake completes into the accept queue, which holds backlog + 1 on Linux.
constexpr int kMaxUnaccepted = 5;
constexpr auto kServerTimeout = std::chrono::seconds(10);

struct OpenConnection {
    int descriptor;
    int id;
};

} // namespace

std::string FrameFor(int id)
{
    char frame[kFrameSize + 1];
    std::snprintf(frame, sizeof frame, "{%08d%030d}", id, 0);
    return frame;
}

int IdOfFrame(const std::string& frame)
{
    if (frame.size() != kFrameSize || frame.front() != '{' || frame.back() != '}')
        return -1;
    return std::stoi(frame.substr(1, 8));
}

void AcceptGate::Accepted()
{
    {
        std::lock_guard lock(mutex_);
        ++accepted_;
    }
    changed_.notify_one();
}

bool AcceptGate::WaitForAccepted(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

int AcceptGate::Accepted() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

LoopbackLoad::LoopbackLoad(LoadPlan plan, AcceptGate& gate) : plan_(plan), gate_(gate), thread_([this] { Run(); }) {}

LoopbackLoad::~LoopbackLoad()
{
    if (thread_.joinable())
        thread_.join();
}

std::string LoopbackLoad::Join()
{
    thread_.join();
    return failure_;
}

bool LoopbackLoad::ResetsConnection(int id) const
{
    return plan_.resetEvery > 0 && id % plan_.resetEvery == plan_.resetEvery - 1;
}

void LoopbackLoad::Run()
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<std::uint16_t>(plan_.port));

    std::deque<OpenConnection> open;
    auto closeOldest = [&] {
        const OpenConnection oldest = open.front();
        open.pop_front();
        if (ResetsConnection(oldest.id)) {
            const linger abortive{1, 0};
            setsockopt(oldest.descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        close(oldest.descriptor);
    };

    for (int id = 0; id < plan_.connections && failure_.empty(); ++id) {
        if (!gate_.WaitForAccepted(id - kMaxUnaccepted + 1, kServerTimeout)) {
            failure_ = "the server stopped accepting";
            break;
        }
        const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor < 0 || connect(descriptor, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            failure_ = "connect failed";
            if (descriptor >= 0)
                close(descriptor);
            break;
        }
        const std::string frame = FrameFor(id);
        if (send(descriptor, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            failure_ = "send failed";
        open.push_back({descriptor, id});
        while (static_cast<int>(open.size()) >= plan_.openAtOnce)
            closeOldest();
    }
    while (!open.empty())
        closeOldest();
}

} // namespace bench
