// Asking the time server for the time: one short connection per request, opened, used
// and closed by a 10 ms poll. The server answers on a connection of its own.

#include "app/main_form.h"

#include "framework/exception.h"

#include <QLineEdit>

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
    try {
        ClientSocket1->SetAddress(Edit1->text().toStdString());
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
        } catch (const framework::Exception&) {
            // Failed at once, before any event: this attempt is over, and the next fetch
            // tries again rather than every tick of the poll.
            LocalGroupTimer->SetEnabled(false);
            ShowConnectionError();
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

void TForm1::sckClientConnect(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/)
{
    FErrorIcon = false;
    UpdateTrayIcon(platform::TrayAction::Modify);
    FConnected = true;
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
        ShowConnectionError();
    }
}

void TForm1::sckClientError(QObject* /*Sender*/, net::TCustomWinSocket* /*Socket*/, net::TErrorEvent /*ErrorEvent*/,
                            int& ErrorCode)
{
    FConnected = false;
    FConnectFailed = true;
    ErrorCode = 0; // reported here, not by the socket
    ShowConnectionError();
}

void TForm1::ShowConnectionError()
{
    StatusBar1->SetPanelText(1, "Error connecting to server.");
    ShowUnknownBadge();
    FErrorIcon = true;
    UpdateTrayIcon(platform::TrayAction::Modify);
}
