// Construction, the two ways out of the program, and destruction.

#include "app/main_form.h"

#include "framework/application.h"
#include "platform/instance_lock.h"

#include <QAction>
#include <QGuiApplication>
#include <QScreen>

#include <utility>

namespace app {

TForm1::TForm1(const FormServices& services) : services_(services)
{
    CreateControls();
    ConnectHandlers();
    Timer1->start();
    bool replyPortHeld = false; // said once the tray is there; each fetch tries again
    try {
        ServerSocket1->Loaded(); // listens for replies from here on
    } catch (const net::ESocketError& failure) {
        if (failure.ErrorCode() != net::WSAEADDRINUSE)
            throw;
        replyPortHeld = true;
    }
    IdIPMCastClient1->Loaded();
    IdIPWatch1->Loaded(); // its first look at the local addresses comes from the loop

    FCurrentTime = 0;
    FRegistryKey.clear();
    FRequestText.clear();
    // Qt draws with the desktop's own style already.
    FErrorIcon = false;

    // A second window of the program is refused even when the first one's process
    // lock is gone; the user is told, and this copy ends once its loop starts.
    if (!services_.instanceLocks.Acquire("tclient")) {
        services_.application.MessageBox("Tavrin Client is already running.", "Dovetra Tavrin Client",
                                         platform::AlertIcon::Exclamation);
        services_.application.Terminate();
    }

    FEchoCode = 9999;
    FFirstFetch = false;
    FChimeDone = true;
    services_.tray.SetContextMenu(PopupMenu1); // for panels that draw the menu themselves
    UpdateTrayIcon(platform::TrayAction::Add);
    UpdateTrayIcon(platform::TrayAction::Modify);
    if (replyPortHeld)
        ShowReplyPortInUse();
    FRegistryKey = "\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\";
    LoadSettings();
    FOpenPending = true;
    FConnected = false;
    FConnectFailed = false;
    FFirstFetch = true; // the first tick asks the server at once

    // Offline until the watch's first look; its first change switches the listener on.
    IdIPMCastClient1->SetActive(IdIPWatch1->Online());
}

TForm1::~TForm1()
{
    FormDestroy(this);
}

void TForm1::ConnectHandlers()
{
    using framework::Guarded;
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(Timer1); }));
    connect(Exit1, &QAction::triggered, this, Guarded([this] { Exit1Click(Exit1); }));
    connect(Exit2, &QAction::triggered, this, Guarded([this] { Exit2Click(Exit2); }));
    connect(Force1, &QAction::triggered, this, Guarded([this] { BitBtn1Click(Force1); }));
    connect(LocalGroupTimer, &QTimer::timeout, this, Guarded([this] { LocalGroupTimerTimer(LocalGroupTimer); }));
    ClientSocket1->OnLookup = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        sckClientLookup(Sender, Socket);
    };
    ClientSocket1->OnConnecting = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        sckClientConnecting(Sender, Socket);
    };
    ClientSocket1->OnConnect = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        sckClientConnect(Sender, Socket);
    };
    ClientSocket1->OnDisconnect = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        sckClientDisconnect(Sender, Socket);
    };
    ClientSocket1->OnError = [this](QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent,
                                    int& ErrorCode) { sckClientError(Sender, Socket, ErrorEvent, ErrorCode); };
    ServerSocket1->OnClientConnect = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        ServerSocket1ClientConnect(Sender, Socket);
    };
    ServerSocket1->OnClientRead = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        ServerSocket1ClientRead(Sender, Socket);
    };
    ServerSocket1->OnClientDisconnect = [this](QObject* Sender, net::TCustomWinSocket* Socket) {
        ServerSocket1ClientDisconnect(Sender, Socket);
    };
    ServerSocket1->OnClientError = [this](QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent,
                                          int& ErrorCode) {
        ServerSocket1ClientError(Sender, Socket, ErrorEvent, ErrorCode);
    };
    ServerSocket1->Socket()->makeRoom = [this] { return replyConnections.CloseLongestSilent(); };
    connect(Properties1, &QAction::triggered, this, Guarded([this] { Properties1Click(Properties1); }));
    connect(SaveSettings1, &QAction::triggered, this, Guarded([this] { toolSaveBtnClick(SaveSettings1); }));
    connect(Chimes1, &QAction::triggered, this, Guarded([this] { Chimes1Click(Chimes1); }));
    IdIPWatch1->OnStatusChanged = [this](net::inet::TIdComponent* Sender) { IdIPWatch1StatusChanged(Sender); };
    IdIPWatch1->OnAddressChanged = IdIPWatch1->OnStatusChanged; // the listener follows the address
    IdIPMCastClient1->OnIPMCastRead = [this](net::inet::TIdComponent* Sender, std::string_view AData,
                                             net::inet::TIdSocketHandle& ABinding) {
        IdIPMCastClient1IPMCastRead(Sender, AData, ABinding);
    };
    services_.tray.onMouse = [this](platform::TrayMouseEvent event) {
        framework::RunGuarded([&] { HandleTrayNotify(event); });
    };
    services_.tray.onAvailable = [this] { framework::RunGuarded([&] { HandleTrayAvailable(); }); };
}

void TForm1::FormDestroy(QObject* /*Sender*/)
{
    services_.tray.onMouse = nullptr;
    services_.tray.onAvailable = nullptr;
    UpdateTrayIcon(platform::TrayAction::Delete);
    services_.tray.SetContextMenu(nullptr);
}

void TForm1::Exit1Click(QObject* /*Sender*/)
{
    Close();
}
void TForm1::Exit2Click(QObject* /*Sender*/)
{
    Close();
}

void TForm1::Close()
{
    hide();
    services_.application.Terminate();
}

void TForm1::ShowWindow()
{
    FitToFonts(); // the size decides where the centre lies
    // A stored position counts only where a screen shows it; otherwise the first show centres.
    if (!std::exchange(shownBefore_, true)
        && !(positionStored_ && QGuiApplication::screenAt(frameGeometry().center()))) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect place = frameGeometry();
            place.moveCenter(screen->availableGeometry().center());
            move(place.topLeft());
        }
    }
    setWindowState(windowState() & ~Qt::WindowMinimized); // minimised while there was no tray
    show();
    raise();
    activateWindow();
}

} // namespace app
