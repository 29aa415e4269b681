// Asking the time server for the time: one short connection per request, opened, used
// and closed by a 10 ms poll. The server answers on a connection of its own.

#include "app/main_form.h"

#include "framework/exception.h"
#include "net/socket_errors.h"
#include "platform/log.h"

#include <arpa/inet.h>

#include <utility>

namespace app {
namespace {

bool IsDottedQuad(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string DottedAddress(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
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

void TForm1::FetchTimeAndDate()
{
    StatusBar1->SetPanelText(1, "Attempting to connect to server..");
    FRequestText = RequestTextFor(FEchoCode);
    FFirstFetch = false;
    if (!TakeReplyPort())
        return; // the reply would go to the program that holds the port
    // A name is looked up anew at each fetch; a dotted address is taken as it stands.
    const std::string server = Edit1->text().toStdString();
    const bool dotted = IsDottedQuad(server);
    const std::string host = dotted ? std::string() : server;
    const std::string address = dotted ? server : std::string();
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
        StatusBar1->SetPanelText(1, refused.Message());
    }
    LocalGroupTimer->SetEnabled(true);
}

void TForm1::BitBtn1Click(QObject* /*Sender*/)
{
    FetchTimeAndDate();
}

void TForm1::LocalGroupTimerTimer(QObject* /*Sender*/)
{
    if (FOpenPending) {
        try {
            ClientSocket1->SetActive(true);
        } catch (const framework::Exception& failure) {
            // Failed at once, before any event: this attempt is over, and the next fetch
            // tries again rather than every tick of the poll.
            LocalGroupTimer->SetEnabled(false);
            ShowConnectionError(failure.Message());
            return;
        }
        FOpenPending = false;
    }
    if (FConnectFailed) {
        LocalGroupTimer->SetEnabled(false);
        FOpenPending = true;
        FConnectFailed = false;
        ClientSocket1->SetActive(false);
    }
    if (FConnected) {
        LocalGroupTimer->SetEnabled(false);
        ClientSocket1->Socket()->WriteText("{" + FRequestText + "}");
        ClientSocket1->SetActive(false);
        StatusBar1->SetPanelText(1, "Update Requested: Waiting for reply..");
        FOpenPending = true;
    }
}

void TForm1::sckClientLookup(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    FErrorIcon = false;
    UpdateTrayIcon(platform::TrayAction::Modify);
    FConnectFailed = false;
}

void TForm1::sckClientConnecting(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
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

void TForm1::sckClientConnect(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    FErrorIcon = false;
    UpdateTrayIcon(platform::TrayAction::Modify);
    FConnected = true;
    if (!unreachableSince.empty()) {
        qCInfo(platform::lcNet, "server %s reachable again (unreachable since %s)", Edit1->text().toUtf8().constData(),
               unreachableSince.c_str());
        unreachableSince.clear();
    }
}

void TForm1::sckClientDisconnect(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    // Still polling while connected: the server closed before the request went out. The
    // attempt failed, and the cycle goes back to idle so that the next fetch opens again.
    const bool closedBeforeRequest = FConnected && LocalGroupTimer->Enabled();
    FConnected = false;
    LocalGroupTimer->SetEnabled(false);
    if (closedBeforeRequest) {
        FOpenPending = true;
        ShowConnectionError("closed before the request was sent");
    }
}

void TForm1::sckClientError(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/, net::TErrorEvent ErrorEvent,
                            int& ErrorCode)
{
    FConnected = false;
    FConnectFailed = true;
    const int error = std::exchange(ErrorCode, 0); // reported here, not by the socket
    // A lookup given up for want of an answer: the name was not denied.
    const bool unanswered = ErrorEvent == net::erLookup && error == net::WSAETIMEDOUT;
    if (unanswered)
        ShowNameNotFound(ClientSocket1->Host() + " (no answer)", "no answer to its lookup");
    else if (ErrorEvent == net::erLookup)
        ShowNameNotFound(ClientSocket1->Host(), net::SocketErrorText(error));
    else
        ShowConnectionError(net::SocketErrorText(error));
}

std::string TForm1::ServerAddress() const
{
    const QString server = Edit1->text();
    if (IsDottedQuad(server.toStdString()))
        return server.toStdString();
    const bool resolved =
        !server.isEmpty() && server.compare(QString::fromStdString(resolvedName), Qt::CaseInsensitive) == 0;
    return resolved ? resolvedAddress : std::string();
}

void TForm1::ShowConnectionError(const std::string& reason)
{
    StatusBar1->SetPanelText(1, "Error connecting to server.");
    ShowUnknownBadge();
    FErrorIcon = true;
    NoteUnreachable(reason);
    ReportResult("Server unreachable since " + unreachableSince, true);
}

void TForm1::ShowNameNotFound(const std::string& name, const std::string& reason)
{
    // Nothing is taken from a name that stands for nothing now.
    resolvedName.clear();
    resolvedAddress.clear();
    const std::string text = "Server name not found: " + name;
    StatusBar1->SetPanelText(1, text);
    ShowUnknownBadge();
    FErrorIcon = true;
    NoteUnreachable(reason);
    ReportResult(text, true);
}

void TForm1::NoteUnreachable(const std::string& reason)
{
    if (!unreachableSince.empty())
        return; // one line per change, not one per attempt
    unreachableSince = framework::FormatDateTime("hh:nn:ss", FCurrentTime);
    qCWarning(platform::lcNet, "server %s unreachable: %s", Edit1->text().toUtf8().constData(), reason.c_str());
}

} // namespace app
