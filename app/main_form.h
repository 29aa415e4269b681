#pragma once

// The program's one window, TForm1: its controls, its state and its event handlers.
// The handlers are split by concern over the app/ source files; the controls and the
// state are public because every concern reaches them directly by name.

#include "app/clock_keeping.h"
#include "app/controls.h"
#include "app/reply_connections.h"
#include "app/services.h"
#include "app/tray_status.h"
#include "framework/date_time.h"
#include "net/inet/ip_watch.h"
#include "net/inet/ipmcast_client.h"
#include "net/win_socket.h"
#include "platform/civil_time.h"
#include "platform/tray_icon.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QAction;
class QCloseEvent;
class QMenu;
class QPainter;

namespace app {

class TForm1 final : public QMainWindow {
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
    TTimer* LocalGroupTimer = nullptr;

    // Network components. The TCP ones belong to the window as Qt children. The watch
    // goes before the listener on destruction: stopping it may still switch the listener.
    net::TClientSocket* ClientSocket1 = nullptr;
    net::TServerSocket* ServerSocket1 = nullptr;
    std::unique_ptr<net::inet::TIdIPMCastClient> IdIPMCastClient1;
    std::unique_ptr<net::inet::TIdIPWatch> IdIPWatch1;

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
    QAction* Exit1 = nullptr;

    // State.
    framework::TDateTime FCurrentTime = 0; // local time read at the last clock tick
    std::string FRegistryKey;              // path of the settings key
    std::string FRequestText;              // request body: padded echo code and tag
    bool FFirstFetch = true;               // the next tick starts a request whatever the countdown
    std::int32_t FEchoCode = 9999;         // echoed in the next request
    bool FOpenPending = true;              // the next poll tick opens the client socket
    bool FConnected = false;               // the client socket is connected
    bool FConnectFailed = false;           // the last connection attempt failed
    std::int16_t FSyncState = 0;           // selects the badge colours
    std::int16_t FTimeSource = 0;          // 0 PC clock, 1 GPS, 3 NTP
    bool FChimeDone = true;                // the hour alarm is done for the current minute 00
    bool FErrorIcon = false;               // the tray shows the error face
    std::uint32_t maxStep = 0;             // seconds a step of the clock may span; 0: no limit
    TrayStatus trayStatus;                 // the tip's lines after the first
    std::string resolvedName;              // the server name last looked up, and its address
    std::string resolvedAddress;
    std::string unreachableSince;      // "hh:nn:ss" of the first failed attempt in a row
    ReplyConnections replyConnections; // the reply connections held, within their limits
    bool replyPortInUse = false;       // another program holds the reply port

    // Start-up and lifecycle.
    void FormDestroy(QObject* Sender);
    void Exit1Click(QObject* Sender);
    void Exit2Click(QObject* Sender);
    // Ends the program: the main loop stops and the window is destroyed after it.
    void Close();
    // Makes the window visible and brings it to the front. The first show keeps a stored
    // position that lies on a screen, and centres the window otherwise.
    void ShowWindow();

    // Clock face.
    void Timer1Timer(QObject* Sender);

    // Request cycle: a 10 ms poll opens the connection, sends the request once connected,
    // and closes; the client socket's events set the flags it reads.
    void FetchTimeAndDate();
    void BitBtn1Click(QObject* Sender);
    void LocalGroupTimerTimer(QObject* Sender);
    void sckClientLookup(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientConnecting(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientConnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientDisconnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientError(QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent, int& ErrorCode);
    // The server's address: the server field when it holds a dotted address, else what its
    // name resolved to at the last fetch; empty while there is none. Replies and status
    // datagrams are taken from this address only.
    std::string ServerAddress() const;
    // The texts, badge, tray icon, tip and log of an attempt that could not reach the server.
    void ShowConnectionError(const std::string& reason);
    void ShowNameNotFound(const std::string& name, const std::string& reason);
    void NoteUnreachable(const std::string& reason);

    // Reply connections: only the server's address is let in (see ServerAddress); any
    // other is closed unread. Their errors are logged, never shown in a box.
    bool TakesRepliesFrom(const std::string& peer) const;
    // Listens on the reply port unless it does already. While another program holds the
    // port (another user's copy, say), that is said in panel 1, on the tip and in one
    // notification, and false returned; the clock face, alarm and status datagrams go on.
    bool TakeReplyPort();
    void ShowReplyPortInUse();
    void ServerSocket1ClientConnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void ServerSocket1ClientDisconnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void ServerSocket1ClientError(QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent,
                                  int& ErrorCode);

    // Time reply. A reply is a run of frames, each a lead character, a time code and "}".
    void ServerSocket1ClientRead(QObject* Sender, net::TCustomWinSocket* Socket);
    void SplitTimeReply(const std::string& Text);
    void ApplyTimeCode(const std::string& Code);
    void ShowInvalidTimeCode();

    // Multicast status: the listener runs while the PC is online, and status datagrams
    // from the configured server recolour the badge.
    void IdIPWatch1StatusChanged(net::inet::TIdComponent* Sender);
    void IdIPMCastClient1IPMCastRead(net::inet::TIdComponent* Sender, std::string_view AData,
                                     net::inet::TIdSocketHandle& ABinding);

    // Sync-state badge: the caption follows FTimeSource (source 0 forces FSyncState to 2),
    // then the colours follow FSyncState; values outside the table leave them as they are.
    void ShowSyncBadge();
    void ShowUnknownBadge();

    // Settings store. The two menu handlers run after the menu has inverted the item's
    // check mark; "Hour Alarm" puts it back when its save fails.
    void LoadSettings();
    // True when the values were stored. A refusal and a file held by another program are
    // said in panel 1; other failures raise.
    bool SaveSettings();
    void toolSaveBtnClick(QObject* Sender);
    void Chimes1Click(QObject* Sender);

    // Tray icon and window behaviour.
    bool UpdateTrayIcon(platform::TrayAction action);
    // Puts the last result of keeping the clock on the tip's second line; a change from
    // working to failing also shows one notification.
    void ReportResult(const std::string& line, bool failing);
    // Raises a standing notice on the tip, with one notification when it is new; an empty
    // text clears it.
    void ReportNotice(TrayStatus::Notice notice, const std::string& text);
    void HandleTrayNotify(platform::TrayMouseEvent event);
    // A notification area has appeared after start-up without one: the icon goes there.
    void HandleTrayAvailable();
    void Properties1Click(QObject* Sender);
    // Draws the icon whose numeric resource id is `controlId`; there is none, as no
    // control of the window draws its own items.
    static bool DrawItemIcon(int controlId, QPainter& painter, QPoint topLeft);

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
    void CreateNetworkComponents();
    // Sizes the read-out's fonts and the window to the fonts installed here. Deferred to
    // the first show: measuring loads the font machinery, several MiB that a program
    // living hidden in the tray need not hold. Only the first call does anything.
    void FitToFonts();
    void ConnectHandlers();
    // `earlierInRead`: the last clock update of the read this code came in; a code of the
    // same second takes its result rather than setting the clock again.
    void ApplyTimeCode(const std::string& Code, std::optional<ClockUpdate>& earlierInRead);
    // Steps the PC clock to `second` unless it is right already or the step limit forbids,
    // and reports the outcome in panel 1, the tray and the log.
    void KeepClock(std::int64_t second, std::optional<ClockUpdate>& earlierInRead);
    void ReportClockUpdate(const ClockUpdate& update);

    FormServices services_;
    std::optional<platform::CivilTime> shownSecond_; // the second the read-out shows
    int shownCountdown_ = -1;                        // the seconds the status bar counts down
    bool shownBefore_ = false;
    bool fittedToFonts_ = false;
    bool positionStored_ = false; // the settings placed the window
    bool trayIconAdded_ = false;  // the window can hide to the tray
};

// The request body for an echo code: the code with one "0" in front for each of 1000,
// 100 and 10 that it lies below, then the client's tag.
std::string RequestTextFor(std::int32_t echoCode);

} // namespace app
