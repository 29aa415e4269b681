// Asking the time server for the time: one short connection per request, opened, used
// and closed by a 10 ms poll. The server answers on a connection of its own.

#include "keeper/clock_keeper.h"

#include "framework/date_time.h"
#include "framework/exception.h"
#include "net/socket_errors.h"
#include "platform/local_clock.h"
#include "platform/log.h"
#include "platform/log_event.h"
#include "platform/log_events.h"

#include <arpa/inet.h>

#include <utility>

namespace keeper {
namespace {

std::string DottedAddress(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) ? text : "?";
}

} // namespace

std::string RequestTextFor(std::int32_t echoCode)
{
    std::string code = std::to_string(echoCode);
    for (const int threshold : {1000, 100, 10})
        if (echoCode < threshold)
            code.insert(0, "0");
    return code + "TavrinClient1010";
}

void ClockKeeper::FetchTimeAndDate()
{
    if (standingBy_)
        return; // the other keeper asks
    face_.ShowStatus("Attempting to connect to server..");
    FRequestText = RequestTextFor(FEchoCode);
    FFirstFetch = false;
    if (!TakeReplyPort())
        return; // the reply would go to the program that holds the port
    // A name is looked up anew at each fetch; a dotted address is taken as it stands.
    const ServerName& server = settings_.server;
    const std::string host = server.IsAddress() ? std::string() : server.Text();
    const std::string address = server.IsAddress() ? server.Text() : std::string();
    // An attempt under way for another server is dropped and the poll opens anew: its
    // lookup may hang for long, and its late outcome is ignored.
    if (!FOpenPending && !ClientSocket1->Active()
        && (host != ClientSocket1->Host() || address != ClientSocket1->Address()))
        FOpenPending = true;
    try {
        ClientSocket1->SetHost(host);
        ClientSocket1->SetAddress(address);
    } catch (const framework::Exception& refused) {
        // Connected already: the request still goes to the address in use, and the user
        // learns why the new one was not taken.
        face_.ShowStatus(refused.Message());
    }
    if (!LocalGroupTimer->isActive())
        LocalGroupTimer->start(); // a poll under way keeps its phase
}

void ClockKeeper::LocalGroupTimerTimer(QObject* /*Sender*/)
{
    if (FOpenPending) {
        try {
            ClientSocket1->SetActive(true);
        } catch (const framework::Exception& failure) {
            // Failed at once, before any event: this attempt is over, and the next fetch
            // tries again rather than every tick of the poll.
            LocalGroupTimer->stop();
            ShowConnectionError(failure.Message());
            return;
        }
        FOpenPending = false;
    }
    if (FConnectFailed) {
        LocalGroupTimer->stop();
        FOpenPending = true;
        FConnectFailed = false;
        ClientSocket1->SetActive(false);
    }
    if (FConnected) {
        // A request timed by the estimate waits for its moment, to the millisecond.
        if (sendNotBefore_) {
            const auto early = *sendNotBefore_ - std::chrono::steady_clock::now();
            if (early > std::chrono::nanoseconds(0)) {
                sendTimer_->start(std::chrono::ceil<std::chrono::milliseconds>(early));
                return;
            }
        }
        LocalGroupTimer->stop();
        sendTimer_->stop();
        // Before the write: the server's answer may arrive before the write returns.
        requestSentAt = std::chrono::steady_clock::now();
        requestSentPc = services_.clock.UtcNow();
        ClientSocket1->Socket()->WriteText("{" + FRequestText + "}");
        ClientSocket1->SetActive(false);
        face_.ShowStatus("Update Requested: Waiting for reply..");
        FOpenPending = true;
    }
}

void ClockKeeper::sckClientLookup(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    face_.ShowErrorFace(false);
    FConnectFailed = false;
}

void ClockKeeper::sckClientConnecting(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    // A name's address holds until the next lookup of the same name says otherwise.
    const std::string& name = ClientSocket1->Host();
    if (name.empty())
        return;
    const std::string address = DottedAddress(Socket->AddressRecord());
    if (name != resolvedName || address != resolvedAddress)
        qCInfo(platform::lcNet, "server name %s is %s", name.c_str(), address.c_str());
    resolvedName = name;
    resolvedAddress = address;
}

void ClockKeeper::sckClientConnect(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    face_.ShowErrorFace(false);
    FConnected = true;
    SetReachable(true);
    if (!unreachableSince.empty()) {
        platform::LogEvent(
            platform::lcNet, QtInfoMsg, platform::kServerBack, {{platform::kFieldServer, settings_.server.Text()}},
            "server " + settings_.server.Text() + " reachable again (unreachable since " + unreachableSince + ")");
        unreachableSince.clear();
    }
}

void ClockKeeper::sckClientDisconnect(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    // Still polling while connected: the server closed before the request went out. The
    // attempt failed, and the cycle goes back to idle so that the next fetch opens again.
    const bool closedBeforeRequest = FConnected && LocalGroupTimer->isActive();
    FConnected = false;
    LocalGroupTimer->stop();
    if (closedBeforeRequest) {
        FOpenPending = true;
        ShowConnectionError("closed before the request was sent");
    }
}

void ClockKeeper::sckClientError(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/, net::TErrorEvent ErrorEvent,
                                 int& ErrorCode)
{
    FConnected = false;
    FConnectFailed = true;
    const int error = std::exchange(ErrorCode, 0); // reported here, not by the socket
    // A lookup given up for want of an answer: the name was not denied.
    const bool unanswered = ErrorEvent == net::erLookup && error == net::WSAETIMEDOUT;
    if (unanswered)
        ShowNameNotFound(ClientSocket1->Host() + " (no answer)", "no answer to its lookup");
    else if (ErrorEvent == net::erLookup && error == net::WSAEADDRNOTAVAIL)
        ShowNameNotFound(ClientSocket1->Host() + " (no usable address)", "its only address is 0.0.0.0");
    else if (ErrorEvent == net::erLookup)
        ShowNameNotFound(ClientSocket1->Host(), net::SocketErrorText(error));
    else
        ShowConnectionError(net::SocketErrorText(error));
}

std::string ClockKeeper::ServerAddress() const
{
    const ServerName& server = settings_.server;
    if (server.IsAddress())
        return server.Text();
    return server.SameName(resolvedName) ? resolvedAddress : std::string();
}

void ClockKeeper::ShowConnectionError(const std::string& reason)
{
    face_.ShowStatus("Error connecting to server.");
    ShowUnknownBadge();
    NoteUnreachable(reason);
    ReportResult("Server unreachable since " + unreachableSince, true);
}

void ClockKeeper::ShowNameNotFound(const std::string& name, const std::string& reason)
{
    // Nothing is taken from a name that stands for nothing now.
    resolvedName.clear();
    resolvedAddress.clear();
    const std::string text = "Server name not found: " + name;
    face_.ShowStatus(text);
    ShowUnknownBadge();
    NoteUnreachable(reason);
    ReportResult(text, true);
}

void ClockKeeper::ReportResult(const std::string& line, bool failing)
{
    state_.lastResult = line;
    state_.failing = failing;
    face_.ReportResult(line, failing);
    Changed();
    StartSynchroniserWatch(); // the first request has had its outcome
}

void ClockKeeper::NoteUnreachable(const std::string& reason)
{
    SetReachable(false);
    if (!unreachableSince.empty())
        return; // one line per change, not one per attempt
    unreachableSince = framework::FormatDateTime("hh:nn:ss", framework::EncodeDateTime(services_.clock.Now()));
    platform::LogEvent(platform::lcNet, QtWarningMsg, platform::kServerUnreachable,
                       {{platform::kFieldServer, settings_.server.Text()}, {platform::kFieldReason, reason}},
                       "server " + settings_.server.Text() + " unreachable: " + reason);
}

} // namespace keeper
