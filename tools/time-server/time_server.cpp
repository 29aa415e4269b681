#include "tools/time-server/time_server.h"

#include "tools/time-server/time_messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace timeserver {
namespace {

using namespace std::chrono_literals;

constexpr auto kRequestPatience = 5s;       // for a request to arrive whole
constexpr auto kReplyPatience = 5s;         // for each stage of a reply: connect, write
constexpr auto kSplitPause = 250ms;         // between the two halves: long enough to arrive as two reads
constexpr std::size_t kLongestRequest = 64; // the client's is 22 bytes
const in_addr kGroup{htonl(0xE0000001)};    // 224.0.0.1

std::string ToText(const sockaddr_in& address)
{
    return AddressText(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in Endpoint(in_addr address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::int64_t SecondsSince1970()
{
    timespec now{};
    // Cannot fail: the clock always exists and `now` is writable.
    [[maybe_unused]] const int result = clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// The next moment the real-time clock stands at `phase` into its second. The offset of the
// replies is whole seconds, so this is also where the replies' own clock stands.
std::chrono::steady_clock::time_point NextPhase(std::chrono::milliseconds phase)
{
    timespec now{};
    // Cannot fail: the clock always exists and `now` is writable.
    [[maybe_unused]] const int result = clock_gettime(CLOCK_REALTIME, &now);
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(phase) - std::chrono::nanoseconds(now.tv_nsec);
    if (wait < std::chrono::nanoseconds(0))
        wait += std::chrono::seconds(1);
    return std::chrono::steady_clock::now() + wait;
}

} // namespace

TimeServer::TimeServer(const ServerOptions& options, std::FILE* log) : options_(options), log_(log)
{
    listenFd_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listenFd_)
        throw ServerError(SystemError("cannot make the listening socket"));
    // A restart right after a stop may find the port's old connections in TIME_WAIT;
    // without the option such a bind is refused, and says so.
    const int on = 1;
    [[maybe_unused]] const int reusing = setsockopt(listenFd_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in listenAt = Endpoint(options_.listenAddress, options_.listenPort);
    if (bind(listenFd_.Get(), reinterpret_cast<const sockaddr*>(&listenAt), sizeof listenAt) != 0)
        throw ServerError(SystemError("cannot listen on " + ToText(listenAt)));
    if (listen(listenFd_.Get(), 16) != 0)
        throw ServerError(SystemError("cannot listen on " + ToText(listenAt)));

    if (options_.statusInterval.count() == 0)
        return;
    statusFd_ = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!statusFd_)
        throw ServerError(SystemError("cannot make the status socket"));
    // The interface is always set, so that datagrams never leave by whatever the routing
    // table prefers; the group is link-local, one hop is all it may travel.
    const unsigned char hops = 1;
    const unsigned char loop = 1;
    if (setsockopt(statusFd_.Get(), IPPROTO_IP, IP_MULTICAST_IF, &options_.multicastInterface,
                   sizeof options_.multicastInterface)
            != 0
        || setsockopt(statusFd_.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0
        || setsockopt(statusFd_.Get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        throw ServerError(SystemError("cannot send status datagrams by " + AddressText(options_.multicastInterface)));
    nextStatus_ = Clock::now();
}

std::uint16_t TimeServer::ListenPort() const
{
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(listenFd_.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        throw ServerError(SystemError("cannot read the listening port"));
    return ntohs(bound.sin_port);
}

void TimeServer::Run(int stopFd)
{
    for (;;) {
        std::vector<pollfd> fds = {{stopFd, POLLIN, 0}, {listenFd_.Get(), POLLIN, 0}};
        for (const Request& request : requests_)
            fds.push_back({request.fd.Get(), POLLIN, 0});
        for (const Reply& reply : replies_) {
            const bool writable = reply.stage == Reply::Stage::Connecting || reply.stage == Reply::Stage::Writing;
            const bool closing = reply.stage == Reply::Stage::Closing;
            fds.push_back(
                {writable || closing ? reply.fd.Get() : -1, static_cast<short>(closing ? POLLIN : POLLOUT), 0});
        }
        if (poll(fds.data(), fds.size(), PollTimeout(Clock::now())) < 0 && errno != EINTR)
            throw ServerError(SystemError("poll"));
        if (fds[0].revents != 0)
            return;

        // Replies first: a finished request adds a reply that has no poll entry yet.
        auto polledRequest = fds.begin() + 2;
        auto polledReply = polledRequest + static_cast<std::ptrdiff_t>(requests_.size());
        for (Reply& reply : replies_)
            if ((polledReply++)->revents != 0)
                AdvanceReply(reply);
        for (Request& request : requests_)
            if ((polledRequest++)->revents != 0)
                ReadRequest(request);
        if (fds[1].revents != 0)
            Accept();
        RunTimers(Clock::now());

        StartFollowUps();
        std::erase_if(requests_, [](const Request& request) { return !request.fd; });
        std::erase_if(replies_, [](const Reply& reply) { return reply.stage == Reply::Stage::Done; });
    }
}

int TimeServer::PollTimeout(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    const auto consider = [&](Clock::time_point when) { next = next ? std::min(*next, when) : when; };
    if (statusFd_)
        consider(nextStatus_);
    for (const Request& request : requests_)
        consider(request.deadline);
    for (const Reply& reply : replies_)
        if (reply.stage != Reply::Stage::Done)
            consider(reply.deadline);
    if (!next)
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
}

void TimeServer::Accept()
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd fd(
            accept4(listenFd_.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd)
            return;
        if (options_.closeAtOnce) {
            Log("closed the connection from %s unread (--close-at-once)\n", ToText(peer).c_str());
            continue;
        }
        requests_.push_back({std::move(fd), peer, {}, Clock::now() + kRequestPatience});
    }
}

void TimeServer::ReadRequest(Request& request)
{
    char buffer[256];
    const ssize_t got = recv(request.fd.Get(), buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got > 0)
        request.received.append(buffer, static_cast<std::size_t>(got));
    if (HandleIfWhole(request))
        return;
    if (got <= 0) {
        Log("rejected request from %s: \"%s\" (ended before its '}')\n", ToText(request.peer).c_str(),
            Printable(request.received).c_str());
        request.fd.Reset();
    } else if (request.received.size() > kLongestRequest) {
        Log("rejected request from %s: \"%s\" (too long)\n", ToText(request.peer).c_str(),
            Printable(request.received).c_str());
        request.fd.Reset();
    }
}

bool TimeServer::HandleIfWhole(Request& request)
{
    const std::size_t brace = request.received.find('}');
    if (brace == std::string::npos)
        return false;
    // One request per connection: whatever follows its "}" is not read.
    const std::string text = request.received.substr(0, brace + 1);
    const std::string from = ToText(request.peer);
    request.fd.Reset();

    const std::optional<std::int32_t> code = EchoCodeOfRequest(text);
    if (!code) {
        Log("rejected request from %s: \"%s\" (not a request)\n", from.c_str(), Printable(text).c_str());
        return true;
    }
    const std::optional<std::string> field = options_.fixedEchoCode ? options_.fixedEchoCode : EchoCodeField(*code);
    if (!field) {
        Log("rejected request from %s: \"%s\" (echo code out of range)\n", from.c_str(), Printable(text).c_str());
        return true;
    }
    Log("request from %s: %s%s\n", from.c_str(), Printable(text).c_str(),
        options_.noReply ? " (not answered: --no-reply)" : "");
    if (!options_.noReply)
        StartReply(request.peer, *field);
    return true;
}

void TimeServer::StartReply(const sockaddr_in& requester, std::string echoCodeField)
{
    Reply& reply = replies_.emplace_back();
    reply.to = Endpoint(requester.sin_addr, options_.replyPort);
    reply.echoCodeField = std::move(echoCodeField);
    reply.deadline = Clock::now() + options_.replyDelay;
    reply.remaining = options_.repliesPerRequest;
    if (options_.replyDelay.count() == 0)
        Connect(reply);
}

void TimeServer::Connect(Reply& reply)
{
    reply.fd = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!reply.fd)
        return FailReply(reply, std::strerror(errno));
    reply.stage = Reply::Stage::Connecting;
    reply.deadline = Clock::now() + kReplyPatience;
    if (connect(reply.fd.Get(), reinterpret_cast<const sockaddr*>(&reply.to), sizeof reply.to) != 0
        && errno != EINPROGRESS)
        return FailReply(reply, std::strerror(errno));
}

void TimeServer::AdvanceReply(Reply& reply)
{
    if (reply.stage == Reply::Stage::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(reply.fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0)
            return FailReply(reply, std::strerror(error));
        if (!options_.phases.empty()) {
            const std::size_t point = std::min<std::size_t>(reply.number, options_.phases.size() - 1);
            reply.stage = Reply::Stage::Aligning;
            reply.deadline = NextPhase(options_.phases[point]);
            return;
        }
        return BeginWriting(reply);
    }
    if (reply.stage == Reply::Stage::Writing)
        WriteReply(reply);
    else if (reply.stage == Reply::Stage::Closing)
        DrainReply(reply);
}

void TimeServer::BeginWriting(Reply& reply)
{
    // The time is read when the connection stands, so a delay or a slow connect never
    // makes the reply late.
    reply.payload = Payload(reply.echoCodeField);
    reply.writeUpTo = options_.splitReply ? reply.payload.size() / 2 : reply.payload.size();
    reply.stage = Reply::Stage::Writing;
    reply.deadline = Clock::now() + kReplyPatience;
    WriteReply(reply);
}

void TimeServer::WriteReply(Reply& reply)
{
    while (reply.sent < reply.writeUpTo) {
        const ssize_t written =
            send(reply.fd.Get(), reply.payload.data() + reply.sent, reply.writeUpTo - reply.sent, MSG_NOSIGNAL);
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (written < 0)
            return FailReply(reply, std::strerror(errno));
        reply.sent += static_cast<std::size_t>(written);
    }
    if (reply.sent < reply.payload.size()) {
        reply.stage = Reply::Stage::Pausing;
        reply.deadline = Clock::now() + kSplitPause;
        return;
    }
    Log("reply to %s: %s%s\n", ToText(reply.to).c_str(), Printable(reply.payload).c_str(),
        options_.splitReply ? " (in two writes)" : "");
    CloseReply(reply);
}

void TimeServer::CloseReply(Reply& reply)
{
    if (shutdown(reply.fd.Get(), SHUT_WR) != 0)
        return Finish(reply);
    reply.stage = Reply::Stage::Closing;
    reply.deadline = Clock::now() + kReplyPatience;
}

void TimeServer::DrainReply(Reply& reply)
{
    char ignored[256];
    const ssize_t got = recv(reply.fd.Get(), ignored, sizeof ignored, 0);
    if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR)))
        Finish(reply);
}

void TimeServer::FailReply(Reply& reply, const std::string& why)
{
    Log("no reply to %s: %s\n", ToText(reply.to).c_str(), why.c_str());
    Finish(reply);
}

void TimeServer::Finish(Reply& reply)
{
    reply.fd.Reset();
    reply.stage = Reply::Stage::Done;
}

void TimeServer::StartFollowUps()
{
    std::list<Reply> followUps;
    for (Reply& done : replies_) {
        if (done.stage != Reply::Stage::Done || done.remaining <= 1)
            continue;
        Reply& next = followUps.emplace_back();
        next.to = done.to;
        next.echoCodeField = done.echoCodeField;
        next.deadline = Clock::now() + options_.replyInterval;
        next.remaining = std::exchange(done.remaining, 0) - 1;
        next.number = done.number + 1;
    }
    replies_.splice(replies_.end(), followUps);
}

void TimeServer::Log(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log_, format, arguments);
    va_end(arguments);
    std::fflush(log_);
}

std::string TimeServer::Payload(const std::string& echoCodeField) const
{
    const std::string one = options_.rawReply ? *options_.rawReply
                                              : TimeReplyFrame(options_.source, options_.state, echoCodeField,
                                                               SecondsSince1970() + options_.offsetSeconds);
    std::string payload;
    for (int i = 0; i < options_.framesPerReply; ++i)
        payload += one;
    return payload;
}

void TimeServer::SendStatus()
{
    const std::string datagram = StatusDatagram(options_.source, options_.state);
    const sockaddr_in group = Endpoint(kGroup, options_.groupPort);
    if (sendto(statusFd_.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&group),
               sizeof group)
        < 0)
        Log("no status to %s: %s\n", ToText(group).c_str(), std::strerror(errno));
    else
        Log("status to %s: %s\n", ToText(group).c_str(), datagram.c_str());
}

void TimeServer::RunTimers(Clock::time_point now)
{
    if (statusFd_ && now >= nextStatus_) {
        SendStatus();
        nextStatus_ += options_.statusInterval;
        if (nextStatus_ <= now) // fell behind: keep the interval rather than catch up
            nextStatus_ = now + options_.statusInterval;
    }
    for (Request& request : requests_) {
        if (request.fd && now >= request.deadline) {
            Log("rejected request from %s: \"%s\" (incomplete after %llds)\n", ToText(request.peer).c_str(),
                Printable(request.received).c_str(),
                static_cast<long long>(std::chrono::seconds(kRequestPatience).count()));
            request.fd.Reset();
        }
    }
    for (Reply& reply : replies_) {
        if (now < reply.deadline)
            continue;
        switch (reply.stage) {
        case Reply::Stage::Waiting:
            Connect(reply);
            break;
        case Reply::Stage::Aligning:
            BeginWriting(reply);
            break;
        case Reply::Stage::Pausing:
            reply.stage = Reply::Stage::Writing;
            reply.writeUpTo = reply.payload.size();
            WriteReply(reply);
            break;
        case Reply::Stage::Connecting:
        case Reply::Stage::Writing:
            FailReply(reply, "timed out");
            break;
        case Reply::Stage::Closing:
            Finish(reply); // written whole: a client that keeps it open loses nothing
            break;
        case Reply::Stage::Done:
            break;
        }
    }
}

} // namespace timeserver
