#pragma once

// The clock keeper: it asks the time server for the time, takes its replies, keeps the PC
// clock from them, hears the server's status datagrams and watches for another
// synchroniser, and tells a face (keeper_face.h) what to show. It knows no window: the tray
// and the system service are its faces. Main thread only.
//
// Its handlers keep the object model's names and are split by concern over keeper/:
// request_cycle.cpp, reply_connections.cpp, time_reply.cpp, multicast_status.cpp.

#include "keeper/address_log_limit.h"
#include "keeper/clock_keeping.h"
#include "keeper/keeper_face.h"
#include "keeper/keeper_settings.h"
#include "keeper/keeper_state.h"
#include "keeper/offset_estimate.h"
#include "keeper/reply_connections.h"
#include "keeper/request_schedule.h"
#include "net/inet/ip_watch.h"
#include "net/inet/ipmcast_client.h"
#include "net/win_socket.h"
#include "platform/boot_clock.h"
#include "platform/socket_owner.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class ClockSetter;
class LocalClock;
class SynchroniserProbe;
}

namespace keeper {

class SynchroniserWatch;

// Where the keeper meets its time server; tests move the two TCP ports aside.
struct KeeperPorts {
    int request = 6645; // the server's port for request messages
    int reply = 6646;   // this PC's port for time replies
};

// What the keeper takes from outside; tests hand in fakes.
struct KeeperServices {
    platform::LocalClock& clock;
    platform::ClockSetter& clockSetter;
    KeeperPorts ports = {};
    // Asked whether another program keeps the clock; none: nobody is asked (a dry run
    // fights nobody).
    platform::SynchroniserProbe* synchroniserProbe = nullptr;
    // timedated's NTP service is this program (the system service).
    bool ownNtpService = false;
};

class ClockKeeper final : public QObject {
public:
    // When the first look for another synchroniser comes at the latest, should the first
    // request have had no outcome by then.
    static constexpr std::chrono::seconds kFirstSynchroniserCheck{30};
    // While another program holds the reply port, it is tried again this often: a service
    // restarted while a tray held the port has it within a second of the tray letting go.
    static constexpr std::chrono::seconds kReplyPortRetry{1};

    // How the keeper begins: keeping the clock, or standing by (see StandBy) until told
    // otherwise.
    enum class Start { Keeping, StandingBy };

    // Starts the address watch and the status listener. Keeping, it also listens for replies
    // (or says that another program holds the port) and has the first request go out from
    // the loop.
    ClockKeeper(const KeeperServices& services, KeeperFace& face, KeeperSettings settings = {},
                Start start = Start::Keeping);
    ~ClockKeeper() override;
    ClockKeeper(const ClockKeeper&) = delete;
    ClockKeeper& operator=(const ClockKeeper&) = delete;

    // Commands of the faces.
    // Another keeper of this PC's clock, the system service, is at work. Standing by, the
    // keeper lets the reply port go, closing the reply connections it holds, sends no
    // request, never sets the clock and stops its schedule; what it knew of the clock's
    // offset is dropped, since the other keeper moves the clock meanwhile. The status
    // datagrams are still heard. Back from standing by, it takes the port and has a
    // request go out from the loop at once, as at start.
    void StandBy(bool standBy);
    bool StandingBy() const { return standingBy_; }
    // Takes new settings; a changed server is asked from the next request on.
    void SetSettings(KeeperSettings settings);
    const KeeperSettings& Settings() const { return settings_; }
    // "Force Now!": a request now, unless standing by; the schedule stays as it is.
    void BitBtn1Click(QObject* Sender);
    // Whole seconds until the next scheduled request, for a countdown.
    int SecondsToNextFetch() const;
    // When the next scheduled request goes out, by the PC's clock.
    KeeperState::UtcTime NextFetch() const;
    const KeeperState& State() const { return state_; }

    // Components.
    net::TClientSocket* ClientSocket1 = nullptr;
    net::TServerSocket* ServerSocket1 = nullptr;
    QTimer* LocalGroupTimer = nullptr; // 10 ms, running while a request is under way
    // The watch goes before the listener on destruction: stopping it may still switch the
    // listener.
    std::unique_ptr<net::inet::TIdIPMCastClient> IdIPMCastClient1;
    std::unique_ptr<net::inet::TIdIPWatch> IdIPWatch1;

    // State.
    std::string FRequestText;      // request body: padded echo code and tag
    bool FFirstFetch = true;       // the next request goes out at once, whatever the schedule
    std::int32_t FEchoCode = 9999; // echoed in the next request
    bool FOpenPending = true;      // the next poll tick opens the client socket
    bool FConnected = false;       // the client socket is connected
    bool FConnectFailed = false;   // the last connection attempt failed
    std::int16_t FSyncState = 0;   // the server's sync state, as the badge shows it
    std::int16_t FTimeSource = 0;  // 0 PC clock, 1 GPS, 3 NTP
    std::string resolvedName;      // the server name last looked up, and its address
    std::string resolvedAddress;
    std::string unreachableSince;      // "hh:nn:ss" of the first failed attempt in a row
    ReplyConnections replyConnections; // the reply connections held, within their limits
    bool replyPortInUse = false;       // another program holds the reply port
    // When the last request went out; replies set the clock only when they arrive within
    // replyDeadline of it.
    std::optional<std::chrono::steady_clock::time_point> requestSentAt;
    std::optional<platform::UtcTime> requestSentPc;           // the same moment by the PC's clock
    std::chrono::milliseconds replyDeadline = kReplyDeadline; // tests shorten it
    // A line per address and minute for refused reply connections, and for status datagrams
    // dropped for their sender's socket; tests shorten the minute.
    AddressLogLimit refusedReplyLog;
    AddressLogLimit droppedDatagramLog;

    // Request cycle: a 10 ms poll opens the connection, sends the request once connected,
    // and closes; the client socket's events set the flags it reads.
    void FetchTimeAndDate();
    void LocalGroupTimerTimer(QObject* Sender);
    void sckClientLookup(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientConnecting(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientConnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientDisconnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void sckClientError(QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent, int& ErrorCode);
    // The server's address: the setting when it is a dotted address, else what its name
    // resolved to at the last fetch; empty while there is none. Replies and status
    // datagrams are taken from this address only.
    std::string ServerAddress() const;

    // Reply connections: only the server's address is let in (see ServerAddress), and from
    // this PC only the sockets of root and of our own user; any other is closed unread.
    // Their errors are logged, never shown in a box.
    bool TakesRepliesFrom(const std::string& peer) const;
    // Whether a frame that arrived at `arrival` answers our last request: it came after the
    // request went out, and within replyDeadline.
    bool AnswersOurRequest(std::chrono::steady_clock::time_point arrival) const;
    // Listens on the reply port unless it does already. While another program holds the
    // port (another user's copy, say), that is said as a notice and false returned; the
    // status datagrams go on, and the port is tried again every kReplyPortRetry until it is
    // ours (or the keeper stands by), when a request goes out at once. The log says when
    // the wait begins and how long it took.
    bool TakeReplyPort();
    void ServerSocket1ClientConnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void ServerSocket1ClientDisconnect(QObject* Sender, net::TCustomWinSocket* Socket);
    void ServerSocket1ClientError(QObject* Sender, net::TCustomWinSocket* Socket, net::TErrorEvent ErrorEvent,
                                  int& ErrorCode);

    // Time reply. A reply is a run of frames, each "{", a time code that begins with
    // "TAVRIN_", and "}", with nothing between them (keeper/reply_frames.h); a connection
    // that sends anything else is closed, and nothing more of it applied. A frame is judged
    // by when the kernel received it, however long it then waited to be read.
    void ServerSocket1ClientRead(QObject* Sender, net::TCustomWinSocket* Socket);
    // When frames arrived, on the steady clock; none: as they are applied.
    using Arrival = std::optional<std::chrono::steady_clock::time_point>;
    // Applies the frames of `Text` in turn, unless it holds anything but frames; a frame
    // cut at its end is dropped.
    void SplitTimeReply(const std::string& Text, Arrival arrival = std::nullopt);
    // A code that arrives now.
    void ApplyTimeCode(const std::string& Code);

    // Multicast status: the listener runs while the PC is online, and status datagrams
    // from the configured server set the source and state.
    void IdIPWatch1StatusChanged(net::inet::TIdComponent* Sender);
    void IdIPMCastClient1IPMCastRead(net::inet::TIdComponent* Sender, std::string_view AData,
                                     net::inet::TIdSocketHandle& ABinding);

private:
    void CreateComponents();
    void ConnectHandlers();
    // Arms the wake-up for the next scheduled request.
    void ArmSchedule();
    // The schedule's request: the next one is due an interval from now, even when this
    // one fails.
    void ScheduledFetch();

    void ShowConnectionError(const std::string& reason);
    void ShowNameNotFound(const std::string& name, const std::string& reason);
    void NoteUnreachable(const std::string& reason);
    void ShowReplyPortInUse();
    // Counts a refused reply connection from `peer` and logs why, within the log's limit.
    void RefuseReply(const std::string& peer, QtMsgType level, const std::string& reason);
    // The retries while the port is held (keeper/reply_port_wait.cpp).
    void WaitForReplyPort();
    void RetryReplyPort();
    void ReplyPortTaken();
    // The result to the face and the state, remembered so that only changes are reported
    // again.
    void ReportResult(const std::string& line, bool failing);
    void ReportNotice(Notice notice, const std::string& text);
    void ShowUnknownBadge();
    void SetReachable(bool reachable);
    // Tells the face that the state changed.
    void Changed();
    // Looks for another synchroniser from now on, every hour.
    void StartSynchroniserWatch();
    // The source and state to the face; source 0, the server's own clock, is always in sync.
    void ShowSyncBadge();
    void ShowInvalidTimeCode();

    // `earlierInRead`: the last clock update of the read this code came in; a code of the
    // same second takes its result rather than setting the clock again.
    void ApplyTimeCode(const std::string& Code, Arrival arrival, std::optional<ClockUpdate>& earlierInRead);
    // Adds the frame's exchange to the offset estimate and corrects the clock as the
    // estimate calls for, unless the step limit forbids; reports the outcome to the face and
    // the log.
    void KeepClock(std::int64_t second, Arrival arrival, std::optional<ClockUpdate>& earlierInRead);
    // Applies the correction `update` calls for and tells the estimate what moved.
    platform::ClockSetResult Correct(const ClockUpdate& update);
    // Tells the estimate how much of the slew under way the kernel has worked in since.
    void NoteSlewApplied();
    // Stops a slew under way: what it was for is no longer known to be wrong.
    void CancelSlew();
    // Shows the last update's estimate as it stands now, widened by its age.
    void RefreshEstimate();
    // Whether a frame that arrived at `arrival` answers our request, so that it may set the
    // clock; the log says why not.
    bool MaySetClock(std::int64_t second, std::chrono::steady_clock::time_point arrival);
    void ReportClockUpdate(const ClockUpdate& update, const std::string& pcTimeBeforeSet);
    // The log's event and the state's figures of an update.
    void RecordClockUpdate(const ClockUpdate& update);
    // Clears the kernel's "unsynchronised" flag and sets its error figures from `errorBound`,
    // where this program has the right; the synchroniser watch then knows the flag for its own.
    void MarkKernelSynchronised(std::chrono::nanoseconds errorBound);

    KeeperServices services_;
    KeeperFace& face_;
    bool standingBy_;
    KeeperSettings settings_;
    RequestSchedule schedule_;
    platform::BootTimer scheduleTimer_;
    std::unique_ptr<SynchroniserWatch> synchroniserWatch_;
    platform::PeerSockets peerSockets_;             // whose are the local senders of replies and datagrams
    std::optional<std::int64_t> lastUnaskedSecond_; // logged already: a time code nobody asked for
    KeeperState state_;
    bool kernelMarked_ = false;            // the kernel was told the clock is kept
    bool kernelMarkRefusalLogged_ = false; // said once that it could not be
    std::string pcTimeOfLastUpdate_;       // the status line's time of the last clock update
    OffsetEstimator estimator_;
    std::optional<ClockUpdate> lastGoodUpdate_; // the last update that left the clock right
    platform::CivilTime lastUpdateLocal_;       // the PC's local time at it
    std::chrono::nanoseconds lastRoundTrip_{0}; // of the last exchange that answered a request
    std::chrono::nanoseconds slewAsked_{0};     // the slew under way, as asked of the kernel
    std::chrono::nanoseconds slewReported_{0};  // of it, what the estimate was told is in
    bool restartTold_ = false;                  // the estimate's restart was logged
    // A request timed by the estimate goes out no earlier than this.
    std::optional<std::chrono::steady_clock::time_point> sendNotBefore_;
    QTimer* sendTimer_ = nullptr;
    QTimer* replyPortRetry_ = nullptr;
    std::chrono::steady_clock::time_point replyPortWaitSince_; // while the retries run
    // The request whose late reply was logged already.
    std::optional<std::chrono::steady_clock::time_point> lateReplyTold_;
};

// The request body for an echo code: the code with one "0" in front for each of 1000,
// 100 and 10 that it lies below, then the client's tag.
std::string RequestTextFor(std::int32_t echoCode);

} // namespace keeper
