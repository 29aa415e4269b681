// Which reply connections the window takes: only the server's, a few at a time, each for a
// short while and a few bytes. Errors of these connections are the window's to report, in
// the log; they never reach a box.

#include "app/main_form.h"

#include "framework/application.h"
#include "net/socket_errors.h"
#include "platform/log.h"

#include <algorithm>
#include <utility>

namespace app {

ReplyConnections::ReplyConnections(Limits limits) : limits_(limits)
{
    silenceTimer_.setSingleShot(true);
    QObject::connect(&silenceTimer_, &QTimer::timeout, &silenceTimer_, framework::Guarded([this] { CloseSilent(); }));
}

void ReplyConnections::SetLimits(Limits limits)
{
    limits_ = limits;
    ArmSilenceTimer();
}

void ReplyConnections::Add(net::TCustomWinSocket* socket, std::string peer)
{
    held_.push_back({socket, std::move(peer), Clock::now(), 0});
    if (held_.size() > limits_.connections) {
        if (!std::exchange(crowded_, true))
            qCWarning(platform::lcNet, "more than %zu reply connections at once: the longest silent ones are closed",
                      limits_.connections);
        Close(*LongestSilent()->socket);
    }
    ArmSilenceTimer();
}

void ReplyConnections::Remove(net::TCustomWinSocket* socket)
{
    std::erase_if(held_, [socket](const Held& held) { return held.socket == socket; });
    if (held_.empty())
        crowded_ = false;
    ArmSilenceTimer();
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

std::string ReplyConnections::Read(net::TCustomWinSocket& socket)
{
    const Held* held = Find(&socket);
    if (!held)
        return {};
    // One byte more than allowed tells a connection that goes past its share.
    std::string text(limits_.bytes - held->received + 1, '\0');
    const int received = socket.ReceiveBytes(text.data(), static_cast<int>(text.size()));
    Held* still = Find(&socket); // a failed receive has closed and forgotten it
    if (received <= 0 || !still)
        return {};
    text.resize(static_cast<std::size_t>(received));
    still->received += text.size();
    still->lastHeard = Clock::now();
    if (still->received > limits_.bytes) {
        text.resize(text.size() - (still->received - limits_.bytes));
        qCWarning(platform::lcNet, "reply connection from %s sent more than %zu bytes: closed, the rest dropped",
                  still->peer.c_str(), limits_.bytes);
        Close(socket);
    }
    return text;
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

void ReplyConnections::CloseSilent()
{
    const Clock::time_point now = Clock::now();
    std::vector<net::TCustomWinSocket*> silent;
    for (const Held& held : held_)
        if (now - held.lastHeard >= limits_.silence)
            silent.push_back(held.socket);
    // Each close forgets its connection through Remove, so the list is not walked meanwhile.
    for (net::TCustomWinSocket* socket : silent) {
        if (const Held* held = Find(socket)) {
            qCDebug(platform::lcNet, "reply connection from %s closed after %lld ms of silence", held->peer.c_str(),
                    static_cast<long long>(limits_.silence.count()));
            Close(*socket);
        }
    }
    ArmSilenceTimer();
}

void ReplyConnections::ArmSilenceTimer()
{
    if (held_.empty()) {
        silenceTimer_.stop();
        return;
    }
    const auto due = LongestSilent()->lastHeard + limits_.silence - Clock::now();
    silenceTimer_.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(due), std::chrono::milliseconds(0)));
}

void ReplyConnections::Close(net::TCustomWinSocket& socket)
{
    socket.CloseConnection(socket.Descriptor());
}

bool TForm1::TakesRepliesFrom(const std::string& peer) const
{
    const std::string server = ServerAddress();
    return !server.empty() && peer == server;
}

bool TForm1::TakeReplyPort()
{
    if (ServerSocket1->Active())
        return true;
    try {
        ServerSocket1->SetActive(true);
    } catch (const net::ESocketError& failure) {
        if (failure.ErrorCode() == net::WSAEADDRINUSE)
            ShowReplyPortInUse();
        else
            StatusBar1->SetPanelText(1, failure.Message());
        return false;
    }
    if (std::exchange(replyPortInUse, false)) {
        qCInfo(platform::lcNet, "reply port %d taken: replies come to this program again", ServerSocket1->Port());
        ReportNotice(TrayStatus::Notice::ReplyPortInUse, "");
    }
    return true;
}

void TForm1::ShowReplyPortInUse()
{
    const std::string text = "Another Tavrin Client on this PC receives the time (port "
                           + std::to_string(ServerSocket1->Port()) + " in use)";
    StatusBar1->SetPanelText(1, text);
    if (!std::exchange(replyPortInUse, true))
        qCWarning(platform::lcNet, "%s", text.c_str());
    ReportNotice(TrayStatus::Notice::ReplyPortInUse, text);
}

void TForm1::ServerSocket1ClientConnect(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    std::string peer;
    try {
        peer = Socket->PeerAddress();
    } catch (const net::ESocketError&) {
        qCDebug(platform::lcNet, "reply connection reset before it was taken");
        Socket->CloseConnection(Socket->Descriptor());
        return;
    }
    if (!TakesRepliesFrom(peer)) {
        // Closed unread, so that nothing of it reaches the clock or the window.
        const std::string server = ServerAddress();
        qCInfo(platform::lcNet, "reply connection from %s refused: the server is %s", peer.c_str(),
               server.empty() ? "not known" : server.c_str());
        Socket->CloseConnection(Socket->Descriptor());
        return;
    }
    replyConnections.Add(Socket, peer);
}

void TForm1::ServerSocket1ClientDisconnect(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    replyConnections.Remove(Socket);
}

void TForm1::ServerSocket1ClientError(QObject* /*Sender*/, net::TCustomWinSocket* Socket,
                                      net::TErrorEvent /*ErrorEvent*/, int& ErrorCode)
{
    // The connection is closed and released after this; the log is the only report.
    qCInfo(platform::lcNet, "reply connection from %s ended: %s (%d)", replyConnections.PeerOf(Socket).c_str(),
           net::SocketErrorText(ErrorCode).c_str(), ErrorCode);
    ErrorCode = 0;
}

} // namespace app
