#pragma once

// The program's one window, TForm1: the face of the clock keeper on the desktop. It shows
// the PC clock, the keeper's status, badge and results, lives in the tray, and keeps the
// settings. While the system service keeps the clock, the keeper stands by and the window
// shows the service's state instead. Its handlers are split by concern over the app/ source files; the controls and
// the state are public because every concern reaches them directly by name.

#include "app/controls.h"
#include "app/service_view.h"
#include "app/services.h"
#include "app/tray_status.h"
#include "framework/date_time.h"
#include "keeper/clock_keeper.h"
#include "keeper/keeper_face.h"
#include "platform/civil_time.h"
#include "platform/tray_icon.h"

#include <QMainWindow>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QAction;
class QCloseEvent;
class QMenu;

namespace app {

class TForm1 final : public QMainWindow, public keeper::KeeperFace {
public:
    explicit TForm1(const FormServices& services);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Controls.
    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    TLabel* DateLabel = nullptr;
    QFrame* SettingsPanel = nullptr;
    QLabel* Label1 = nullptr;
    TEdit* Edit1 = nullptr;
    QFrame* ClockPanel = nullptr;
    TLabel* lblH = nullptr;
    TLabel* DotLabel = nullptr;
    TLabel* lblM = nullptr;
    TLabel* lblS = nullptr;
    TStaticText* tsStatus = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    TTimer* Timer1 = nullptr;

    // Menus.
    QMenu* System1 = nullptr;
    QAction* SaveSettings1 = nullptr;
    QAction* Chimes1 = nullptr;
    QAction* N2 = nullptr;
    QAction* Exit2 = nullptr;
    QMenu* Update1 = nullptr;
    QAction* Force1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Properties1 = nullptr;
    QAction* UpdateNow1 = nullptr; // "Force Now!" from the tray
    QAction* N1 = nullptr;
    QAction* Exit1 = nullptr;

    // The keeper this window is the face of: it asks the server, takes the replies and
    // keeps the clock.
    std::unique_ptr<keeper::ClockKeeper> clockKeeper;
    // The system service on the system bus; none when FormServices names no bus.
    std::unique_ptr<ServiceView> serviceView;

    // State.
    framework::TDateTime FCurrentTime = 0; // local time read at the last clock tick
    std::string FRegistryKey;              // path of the settings key
    bool FChimeDone = true;                // the hour alarm is done for the current minute 00
    bool FErrorIcon = false;               // the tray shows the error face
    std::uint32_t maxStep = 0;             // seconds a step of the clock may span; 0: no limit
    std::chrono::seconds interval = keeper::KeeperSettings::kDefaultInterval; // between two requests
    TrayStatus trayStatus;                                                    // the tip's lines after the first

    // Start-up and lifecycle.
    void FormDestroy(QObject* Sender);
    void Exit1Click(QObject* Sender);
    void Exit2Click(QObject* Sender);
    // Ends the program: the main loop stops and the window is destroyed after it.
    void Close();
    // The user's request for the window (--show, the tray, a second start): makes it visible
    // and brings it to the front, to stay until the user hides it. The first show keeps a
    // stored position that lies on a screen, and centres the window otherwise.
    void ShowWindow();
    // Shows the window when no notification area has taken the icon within `patience`, as
    // at a login whose panel comes late; only until one does: then it hides to the icon.
    void ShowIfNoTrayWithin(std::chrono::milliseconds patience);

    // Clock face: the read-out, the date, the hour alarm and the countdown to the next
    // request, the keeper's or, while it runs, the service's.
    void Timer1Timer(QObject* Sender);
    // "Force Now!", and "Update now" in the tray's menu: the keeper asks the server now;
    // while the service runs, the service is asked to.
    void BitBtn1Click(QObject* Sender);

    // The system service (app/service_face.cpp). While it runs, the keeper stands by, and
    // panel 1, the tray's face, tip and notices, the badge, the countdown and the address field
    // follow the service. Once it stops (ServiceView::kHandOverDelay after its name went),
    // the address of the user's own settings applies again, and the keeper comes back where
    // this user may set the clock; elsewhere panel 1 and the tip say that nothing keeps it.
    void ServiceRunning(bool running);
    void ShowServiceState(const ctl::ServiceStatus& status, const QStringList& which);
    bool ShowsService() const { return serviceShown_; }
    // Leaving the address field: while the service runs, a changed address is asked of the
    // service, which may have polkit ask for a password; a refusal puts its address back.
    void Edit1Exit(QObject* Sender);

    // What the keeper shows here: panel 1, the badge, the tray's face, tip and notices.
    void ShowStatus(const std::string& text) override;
    // The caption follows the source, the colours the state; values outside the table leave
    // them as they are.
    void ShowSyncBadge(int source, int state) override;
    void ShowUnknownBadge() override;
    void ShowErrorFace(bool failing) override;
    // Puts the last result of keeping the clock on the tip's second line; a change from
    // working to failing also shows one notification.
    void ReportResult(const std::string& line, bool failing) override;
    // Raises a standing notice on the tip, with one notification when it is new; an empty
    // text clears it.
    void ReportNotice(keeper::Notice notice, const std::string& text) override;
    // The display follows a time code at once.
    void TimeCodeTaken() override;

    // Settings store. The two menu handlers run after the menu has inverted the item's
    // check mark; "Hour Alarm" puts it back when its save fails.
    void LoadSettings();
    // True when the values were stored. A refusal and a file held by another program are
    // said in panel 1; other failures raise. While the service is shown, the address stored
    // is the user's own, not the service's in the field.
    bool SaveSettings();
    void toolSaveBtnClick(QObject* Sender);
    // Keys in the address field while the settings view shows: Return stores it as
    // "Settings" does; Escape returns to the clock without storing, the field back to what
    // it held when the view opened.
    void Edit1KeyPress(QObject* Sender, Qt::Key key);
    void Chimes1Click(QObject* Sender);
    // What the keeper is to do, as the settings here say.
    keeper::KeeperSettings KeeperSettings() const;

    // Tray icon and window behaviour.
    bool UpdateTrayIcon(platform::TrayAction action);
    void HandleTrayNotify(platform::TrayMouseEvent event);
    // A notification area has appeared after start-up without one: the icon goes there.
    void HandleTrayAvailable();
    void Properties1Click(QObject* Sender);

protected:
    // Minimise and close hide the window; the program goes on in the tray. While no
    // notification area has the icon, they minimise it instead.
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Fits the fonts before the first show.
    void setVisible(bool visible) override;

private:
    void CreateControls();
    void CreateMenus();
    // Sizes the read-out's fonts and the window to the fonts installed here. Deferred to
    // the first show: measuring loads the font machinery, several MiB that a program
    // living hidden in the tray need not hold. Only the first call does anything.
    void FitToFonts();
    void ConnectHandlers();
    // Makes the window visible and brings it to the front, for whatever reason.
    void Present();

    // "Force Now!" while the service runs.
    void UpdateService();
    // The service's notices on the tip, told once as they come, as the keeper's own are.
    void ShowServiceNotices(const std::string& lines);
    // Whole seconds to the next request, the service's while it runs.
    int SecondsToNextRequest() const;
    // Shows the settings view in the clock's place, or the clock again.
    void ShowSettingsView(bool shown);

    FormServices services_;
    bool serviceShown_ = false; // the window shows the service's state, the keeper stands by
    std::string ownServer_;     // the address of the user's settings, while the field shows the service's
    QString fieldWhenOpened_;   // the address field's text when the settings view last opened
    std::optional<platform::CivilTime> shownSecond_; // the second the read-out shows
    int shownCountdown_ = -1;                        // the seconds the status bar counts down
    bool shownBefore_ = false;
    bool fittedToFonts_ = false;
    bool positionStored_ = false;     // the settings placed the window
    bool trayIconAdded_ = false;      // the window can hide to the tray
    bool shownForLackOfTray_ = false; // shown while no tray had the icon, not at the user's request
};

} // namespace app
