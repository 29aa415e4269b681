#pragma once

#include "platform/unique_fd.h"
#include "tools/time-server/server_options.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <list>
#include <stdexcept>
#include <string>

namespace timeserver {

using platform::UniqueFd;

// Raised when a socket the server needs cannot be had; the message says which.
class ServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One thread, one poll loop: requests come in on the listening socket, each is answered
// on a new connection back to its sender, and status datagrams go out on a timer.
class TimeServer {
public:
    // Opens the listening and the datagram socket. Throws ServerError.
    TimeServer(const ServerOptions& options, std::FILE* log);

    // The port requests arrive on (the one picked, when the options asked for 0).
    std::uint16_t ListenPort() const;

    // Serves until `stopFd` becomes readable.
    void Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;

    struct Request {
        UniqueFd fd;
        sockaddr_in peer;
        std::string received;
        Clock::time_point deadline;
    };
    struct Reply {
        enum class Stage { Waiting, Connecting, Aligning, Writing, Pausing, Closing, Done };
        Stage stage = Stage::Waiting;
        UniqueFd fd;
        sockaddr_in to{};
        std::string echoCodeField;
        std::string payload;
        std::size_t sent = 0;
        std::size_t writeUpTo = 0;  // the end of the current write: the split point, or the end
        Clock::time_point deadline; // of the current stage
        int remaining = 1;          // this reply and those still to follow it
        int number = 0;             // within its run, from 0
    };

    void Accept();
    void ReadRequest(Request& request);
    bool HandleIfWhole(Request& request); // true when the request was whole and is dealt with
    void StartReply(const sockaddr_in& requester, std::string echoCodeField);
    void Connect(Reply& reply);
    void AdvanceReply(Reply& reply);
    void BeginWriting(Reply& reply);
    void WriteReply(Reply& reply);
    // Half-closes and waits for the client to close: a client on this PC takes replies only
    // from a socket whose owner it can still see.
    void CloseReply(Reply& reply);
    void DrainReply(Reply& reply);
    void FailReply(Reply& reply, const std::string& why);
    void Finish(Reply& reply);
    void StartFollowUps(); // for finished replies of a fast run
    void SendStatus();
    void RunTimers(Clock::time_point now);
    int PollTimeout(Clock::time_point now) const;
    std::string Payload(const std::string& echoCodeField) const;
    // One line of the log, written out at once so that a reader sees it as it happens.
    __attribute__((format(printf, 2, 3))) void Log(const char* format, ...);

    ServerOptions options_;
    std::FILE* log_;
    UniqueFd listenFd_;
    UniqueFd statusFd_;
    std::list<Request> requests_;
    std::list<Reply> replies_;
    Clock::time_point nextStatus_;
};

} // namespace timeserver
