// Which reply connections the keeper takes: only the server's, a few at a time, each for a
// short while and a few bytes. Errors of these connections are the keeper's to report, in
// the log; they never reach a box.

#include "keeper/clock_keeper.h"

#include "framework/application.h"
#include "net/socket_errors.h"
#include "platform/log.h"

#include "keeper/local_peers.h"
#include "platform/log_event.h"
#include "platform/log_events.h"

#include <algorithm>
#include <utility>

namespace keeper {

ReplyConnections::ReplyConnections(Limits limits) : limits_(limits)
{
    closeTimer_.setSingleShot(true);
    QObject::connect(&closeTimer_, &QTimer::timeout, &closeTimer_, framework::Guarded([this] { CloseOverdue(); }));
}

void ReplyConnections::SetLimits(Limits limits)
{
    limits_ = limits;
    ArmCloseTimer();
}

void ReplyConnections::Add(net::TCustomWinSocket* socket, std::string peer)
{
    const Clock::time_point now = Clock::now();
    held_.push_back({socket, std::move(peer), now, now, 0, ReplyFrames()});
    if (held_.size() > limits_.connections) {
        if (!std::exchange(crowded_, true))
            qCWarning(platform::lcNet, "more than %zu reply connections at once: the longest silent ones are closed",
                      limits_.connections);
        Close(*LongestSilent()->socket);
    }
    ArmCloseTimer();
}

void ReplyConnections::Remove(net::TCustomWinSocket* socket)
{
    if (const Held* held = Find(socket); held && held->frames.Unfinished() != 0)
        qCInfo(platform::lcNet, "reply connection from %s ended inside a frame: %zu bytes dropped", held->peer.c_str(),
               held->frames.Unfinished());
    std::erase_if(held_, [socket](const Held& held) { return held.socket == socket; });
    if (held_.empty())
        crowded_ = false;
    ArmCloseTimer();
}

bool ReplyConnections::CloseLongestSilent()
{
    if (held_.empty())
        return false;
    const Held& longestSilent = *LongestSilent();
    qCDebug(platform::lcNet, "reply connection from %s closed to make room for a new one", longestSilent.peer.c_str());
    Close(*longestSilent.socket); // forgets it through Remove: `longestSilent` is gone after this
    return true;
}

void ReplyConnections::CloseAll()
{
    // Each close forgets its connection through Remove, which finds the list emptied already.
    for (const Held& held : std::exchange(held_, {}))
        Close(*held.socket);
    crowded_ = false;
    ArmCloseTimer();
}

ReplyConnections::Received ReplyConnections::Read(net::TCustomWinSocket& socket)
{
    const Held* held = Find(&socket);
    if (!held)
        return {};
    // One byte more than allowed tells a connection that goes past its share.
    std::string text(limits_.bytes - held->received + 1, '\0');
    net::ReceiptTime receivedAt{};
    const int received = socket.ReceiveBytes(text.data(), static_cast<int>(text.size()), receivedAt);
    Held* still = Find(&socket); // a failed receive has closed and forgotten it
    if (received <= 0 || !still)
        return {};
    text.resize(static_cast<std::size_t>(received));
    still->received += text.size();
    still->lastHeard = Clock::now();
    const bool overShare = still->received > limits_.bytes;
    if (overShare)
        text.resize(text.size() - (still->received - limits_.bytes));
    ReplyFrames::Taken taken = still->frames.Take(text);
    if (!taken.junk.empty()) {
        Close(socket); // the caller says why, as for a connection refused at once
        return {{}, receivedAt, std::move(taken.junk)};
    }
    if (overShare) {
        qCWarning(platform::lcNet, "reply connection from %s sent more than %zu bytes: closed, the rest dropped",
                  still->peer.c_str(), limits_.bytes);
        still->frames = {}; // the frame it left unfinished goes with it, said above
        Close(socket);
    }
    return {std::move(taken.frames), receivedAt, {}};
}

std::string ReplyConnections::PeerOf(const net::TCustomWinSocket* socket) const
{
    const auto held = std::find_if(held_.begin(), held_.end(), [socket](const Held& h) { return h.socket == socket; });
    return held == held_.end() ? std::string() : held->peer;
}

ReplyConnections::Held* ReplyConnections::Find(const net::TCustomWinSocket* socket)
{
    const auto held = std::find_if(held_.begin(), held_.end(), [socket](const Held& h) { return h.socket == socket; });
    return held == held_.end() ? nullptr : &*held;
}

std::vector<ReplyConnections::Held>::iterator ReplyConnections::LongestSilent()
{
    return std::min_element(held_.begin(), held_.end(),
                            [](const Held& a, const Held& b) { return a.lastHeard < b.lastHeard; });
}

ReplyConnections::Clock::time_point ReplyConnections::DueAt(const Held& held) const
{
    return std::min(held.lastHeard + limits_.silence, held.taken + limits_.total);
}

void ReplyConnections::CloseOverdue()
{
    const Clock::time_point now = Clock::now();
    std::vector<net::TCustomWinSocket*> overdue;
    for (const Held& held : held_)
        if (DueAt(held) <= now)
            overdue.push_back(held.socket);
    // Each close forgets its connection through Remove, so the list is not walked meanwhile.
    for (net::TCustomWinSocket* socket : overdue) {
        const Held* held = Find(socket);
        if (!held)
            continue;
        if (now - held->taken >= limits_.total)
            qCInfo(platform::lcNet, "reply connection from %s not finished within %lld ms: closed", held->peer.c_str(),
                   static_cast<long long>(limits_.total.count()));
        else
            qCDebug(platform::lcNet, "reply connection from %s closed after %lld ms of silence", held->peer.c_str(),
                    static_cast<long long>(limits_.silence.count()));
        Close(*socket);
    }
    ArmCloseTimer();
}

void ReplyConnections::ArmCloseTimer()
{
    if (held_.empty()) {
        closeTimer_.stop();
        return;
    }
    const auto first = std::min_element(held_.begin(), held_.end(),
                                        [this](const Held& a, const Held& b) { return DueAt(a) < DueAt(b); });
    const auto due = DueAt(*first) - Clock::now();
    closeTimer_.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(due), std::chrono::milliseconds(0)));
}

void ReplyConnections::Close(net::TCustomWinSocket& socket)
{
    socket.CloseConnection(socket.Descriptor());
}

bool ClockKeeper::TakesRepliesFrom(const std::string& peer) const
{
    const std::string server = ServerAddress();
    return !server.empty() && peer == server;
}

bool ClockKeeper::AnswersOurRequest(std::chrono::steady_clock::time_point arrival) const
{
    return requestSentAt && arrival >= *requestSentAt && arrival - *requestSentAt <= replyDeadline;
}

bool ClockKeeper::TakeReplyPort()
{
    if (ServerSocket1->Active())
        return true;
    try {
        ServerSocket1->SetActive(true);
    } catch (const net::ESocketError& failure) {
        if (failure.ErrorCode() != net::WSAEADDRINUSE) {
            face_.ShowStatus(failure.Message());
            return false;
        }
        ShowReplyPortInUse();
        WaitForReplyPort();
        return false;
    }
    ReplyPortTaken();
    return true;
}

void ClockKeeper::ShowReplyPortInUse()
{
    const std::string text = "Another Tavrin Client on this PC receives the time (port "
                           + std::to_string(ServerSocket1->Port()) + " in use)";
    face_.ShowStatus(text);
    if (!std::exchange(replyPortInUse, true))
        qCWarning(platform::lcNet, "%s", text.c_str());
    ReportNotice(Notice::ReplyPortInUse, text);
}

void ClockKeeper::ServerSocket1ClientConnect(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    std::string peer;
    try {
        peer = Socket->PeerAddress();
    } catch (const net::ESocketError&) {
        qCDebug(platform::lcNet, "reply connection reset before it was taken");
        Socket->CloseConnection(Socket->Descriptor());
        return;
    }
    // Closed unread, so that nothing of it reaches the clock or the face.
    std::string refusal;
    QtMsgType level = QtInfoMsg;
    if (!TakesRepliesFrom(peer)) {
        const std::string server = ServerAddress();
        refusal = "the server is " + (server.empty() ? std::string("not known") : server);
    } else {
        refusal = WhyNotTheServersOwn(peerSockets_, Socket->Descriptor(), peer);
        level = QtWarningMsg; // from the server's own address: somebody tries
    }
    if (refusal.empty()) {
        replyConnections.Add(Socket, peer);
        return;
    }
    Socket->CloseConnection(Socket->Descriptor());
    RefuseReply(peer, level, refusal);
}

void ClockKeeper::RefuseReply(const std::string& peer, QtMsgType level, const std::string& reason)
{
    ++state_.refusedReplies;
    Changed();
    const std::optional<AddressLogLimit::Line> line = refusedReplyLog.Allow(peer);
    if (!line)
        return;
    const std::string text = "reply connection from " + peer + " refused: " + reason + line->HeldBackText("refused");
    platform::LogEvent(platform::lcNet, level, platform::kReplyRefused,
                       {{platform::kFieldPeer, peer},
                        {platform::kFieldServer, settings_.server.Text()},
                        {platform::kFieldReason, reason},
                        {platform::kFieldNotLogged, std::to_string(line->heldBack)}},
                       text);
}

void ClockKeeper::ServerSocket1ClientDisconnect(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    replyConnections.Remove(Socket);
}

void ClockKeeper::ServerSocket1ClientError(QObject* /*Sender*/, net::TCustomWinSocket* Socket,
                                           net::TErrorEvent /*ErrorEvent*/, int& ErrorCode)
{
    // The connection is closed and released after this; the log is the only report.
    qCInfo(platform::lcNet, "reply connection from %s ended: %s (%d)", replyConnections.PeerOf(Socket).c_str(),
           net::SocketErrorText(ErrorCode).c_str(), ErrorCode);
    ErrorCode = 0;
}

} // namespace keeper
