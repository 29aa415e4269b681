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
    FCurrentTime = 0;
    FRegistryKey.clear();
    FErrorIcon = false;

    // A second window of the program is refused even when the first one's process
    // lock is gone; the user is told, and this copy ends once its loop starts.
    if (!services_.instanceLocks.Acquire("tclient")) {
        services_.application.MessageBox("Tavrin Client is already running.", "Dovetra Tavrin Client",
                                         platform::AlertIcon::Exclamation);
        services_.application.Terminate();
    }

    FChimeDone = true;
    services_.tray.SetContextMenu(PopupMenu1); // for panels that draw the menu themselves
    UpdateTrayIcon(platform::TrayAction::Add);
    UpdateTrayIcon(platform::TrayAction::Modify);
    FRegistryKey = "\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\";
    LoadSettings();

    // The keeper's first request goes out from the loop; it tells this window what to show
    // from here on. Where the system service may run, the keeper stands by until the bus
    // says that it does not, so that it never takes the service's port nor asks in its stead.
    const bool lookForService = !services_.serviceBus.empty();
    clockKeeper = std::make_unique<keeper::ClockKeeper>(
        keeper::KeeperServices{services_.clock, services_.clockSetter, services_.ports, services_.synchroniserProbe,
                               false},
        *this, KeeperSettings(),
        lookForService ? keeper::ClockKeeper::Start::StandingBy : keeper::ClockKeeper::Start::Keeping);
    Edit1->onChange = [this](const QString&) {
        framework::RunGuarded([&] { clockKeeper->SetSettings(KeeperSettings()); });
    };
    Edit1->onExit = [this] { framework::RunGuarded([&] { Edit1Exit(Edit1); }); };
    Edit1->onReturn = [this] { framework::RunGuarded([&] { Edit1KeyPress(Edit1, Qt::Key_Return); }); };
    Edit1->onEscape = [this] { framework::RunGuarded([&] { Edit1KeyPress(Edit1, Qt::Key_Escape); }); };
    if (lookForService)
        serviceView = std::make_unique<ServiceView>(
            services_.serviceBus,
            ServiceView::Events{.running = [this](bool running) { ServiceRunning(running); },
                                .changed = [this](const ctl::ServiceStatus& status,
                                                  const QStringList& which) { ShowServiceState(status, which); }},
            services_.serviceHandOver);
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
    connect(UpdateNow1, &QAction::triggered, this, Guarded([this] { BitBtn1Click(UpdateNow1); }));
    connect(Properties1, &QAction::triggered, this, Guarded([this] { Properties1Click(Properties1); }));
    connect(SaveSettings1, &QAction::triggered, this, Guarded([this] { toolSaveBtnClick(SaveSettings1); }));
    connect(Chimes1, &QAction::triggered, this, Guarded([this] { Chimes1Click(Chimes1); }));
    services_.tray.onMouse = [this](platform::TrayMouseEvent event) {
        framework::RunGuarded([&] { HandleTrayNotify(event); });
    };
    services_.tray.onAvailable = [this] { framework::RunGuarded([&] { HandleTrayAvailable(); }); };
}

void TForm1::FormDestroy(QObject* /*Sender*/)
{
    serviceView.reset();
    clockKeeper.reset(); // it reports to this window to the last
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
    shownForLackOfTray_ = false;
    Present();
}

void TForm1::Present()
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
