// The keeper's construction, its components and handlers, its schedule and the commands
// of its faces.

#include "keeper/clock_keeper.h"

#include "framework/application.h"
#include "keeper/synchroniser_watch.h"

#include <utility>

namespace keeper {

ClockKeeper::ClockKeeper(const KeeperServices& services, KeeperFace& face, KeeperSettings settings, Start start)
    : services_(services),
      face_(face),
      standingBy_(start == Start::StandingBy),
      settings_(std::move(settings)),
      schedule_(settings_.interval),
      scheduleTimer_(framework::Guarded([this] { ScheduledFetch(); }))
{
    state_.server = settings_.server.Text();
    CreateComponents();
    ConnectHandlers();
    bool replyPortHeld = false; // said once the face is told; each fetch tries again
    try {
        ServerSocket1->Loaded(); // listens for replies from here on, unless standing by
    } catch (const net::ESocketError& failure) {
        if (failure.ErrorCode() != net::WSAEADDRINUSE)
            throw;
        replyPortHeld = true;
    }
    IdIPMCastClient1->Loaded();
    IdIPWatch1->Loaded(); // its first look at the local addresses comes from the loop
    if (replyPortHeld) {
        ShowReplyPortInUse();
        WaitForReplyPort();
    }
    // Offline until the watch's first look; its first change switches the listener on.
    IdIPMCastClient1->SetActive(IdIPWatch1->Online());

    // The first look for another synchroniser waits for this program's own first update:
    // the kernel's flag may still be set from its last run.
    if (services_.synchroniserProbe)
        QTimer::singleShot(kFirstSynchroniserCheck, this, framework::Guarded([this] { StartSynchroniserWatch(); }));
    if (standingBy_)
        return;
    // The countdown starts now; the first request goes out as soon as the loop runs.
    schedule_.Started(platform::BootClock::now());
    ArmSchedule();
}

ClockKeeper::~ClockKeeper() = default;

void ClockKeeper::CreateComponents()
{
    LocalGroupTimer = new QTimer(this);
    LocalGroupTimer->setInterval(10);
    sendTimer_ = new QTimer(this);
    sendTimer_->setSingleShot(true);
    sendTimer_->setTimerType(Qt::PreciseTimer);
    replyPortRetry_ = new QTimer(this);
    replyPortRetry_->setInterval(kReplyPortRetry);

    ClientSocket1 = new net::TClientSocket(this);
    ClientSocket1->SetClientType(net::ctNonBlocking);
    ClientSocket1->SetPort(services_.ports.request);

    ServerSocket1 = new net::TServerSocket(this);
    ServerSocket1->BeginLoading();
    ServerSocket1->SetPort(services_.ports.reply);
    // Replies are judged by when they arrived, not by when the loop got round to them.
    ServerSocket1->Socket()->SetReceiptTimes(true);
    ServerSocket1->SetActive(!standingBy_);

    IdIPMCastClient1 = std::make_unique<net::inet::TIdIPMCastClient>(net::inet::ComponentStart::Loading);
    IdIPMCastClient1->SetMulticastGroup("224.0.0.1");
    IdIPMCastClient1->SetDefaultPort(6649);

    IdIPWatch1 = std::make_unique<net::inet::TIdIPWatch>(net::inet::ComponentStart::Loading);
    IdIPWatch1->HistoryEnabled = false;
    IdIPWatch1->HistoryFilename = "iphist.dat";
    IdIPWatch1->SetActive(true);
}

void ClockKeeper::ConnectHandlers()
{
    using framework::Guarded;
    connect(LocalGroupTimer, &QTimer::timeout, this, Guarded([this] { LocalGroupTimerTimer(LocalGroupTimer); }));
    connect(sendTimer_, &QTimer::timeout, this, Guarded([this] { LocalGroupTimerTimer(LocalGroupTimer); }));
    connect(replyPortRetry_, &QTimer::timeout, this, Guarded([this] { RetryReplyPort(); }));
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
    IdIPWatch1->OnStatusChanged = [this](net::inet::TIdComponent* Sender) { IdIPWatch1StatusChanged(Sender); };
    IdIPWatch1->OnAddressChanged = IdIPWatch1->OnStatusChanged; // the listener follows the address
    // Brought from the listener's thread through RunOnMainThread, which raises again in that
    // thread what the handler raised, and ends it: the status datagrams would stop unseen.
    IdIPMCastClient1->OnIPMCastRead = [this](net::inet::TIdComponent* Sender, std::string_view AData,
                                             net::inet::TIdSocketHandle& ABinding) {
        framework::RunGuarded([&] { IdIPMCastClient1IPMCastRead(Sender, AData, ABinding); });
    };
}

void ClockKeeper::SetSettings(KeeperSettings settings)
{
    const bool newInterval = settings.interval != settings_.interval;
    settings_ = std::move(settings);
    if (newInterval) {
        schedule_.SetInterval(settings_.interval);
        if (!standingBy_)
            ArmSchedule();
    }
    if (state_.server != settings_.server.Text()) {
        state_.server = settings_.server.Text();
        Changed();
    }
}

void ClockKeeper::StandBy(bool standBy)
{
    if (std::exchange(standingBy_, standBy) == standBy)
        return;
    if (!standBy) {
        // As at start: the port now, the first request from the loop.
        TakeReplyPort();
        FFirstFetch = true;
        schedule_.Started(platform::BootClock::now());
        ArmSchedule();
        return;
    }
    scheduleTimer_.Stop();
    // The poll first, so that the attempt dropped here is not taken for a failed one.
    LocalGroupTimer->stop();
    sendTimer_->stop();
    sendNotBefore_.reset();
    ClientSocket1->SetActive(false);
    FOpenPending = true;
    FConnected = false;
    FConnectFailed = false;
    requestSentAt.reset();
    requestSentPc.reset();
    // The listener would drop the connections without telling: they leave the list first.
    replyConnections.CloseAll();
    ServerSocket1->SetActive(false);
    replyPortRetry_->stop();
    // A slew under way is the kernel's to finish: cancelling it would set the clock too.
    estimator_ = OffsetEstimator();
    slewAsked_ = slewReported_ = std::chrono::nanoseconds(0);
    lastGoodUpdate_.reset();
    // The other keeper marks the kernel's clock as kept: that is no other synchroniser here.
    synchroniserWatch_.reset();
    replyPortInUse = false;
    for (const Notice notice : {Notice::ReplyPortInUse, Notice::OtherSynchroniser})
        if (state_.notices.contains(notice))
            ReportNotice(notice, "");
}

void ClockKeeper::BitBtn1Click(QObject* /*Sender*/)
{
    sendNotBefore_.reset(); // asked for now: sent now
    FetchTimeAndDate();
}

int ClockKeeper::SecondsToNextFetch() const
{
    return schedule_.SecondsLeft(platform::BootClock::now());
}

KeeperState::UtcTime ClockKeeper::NextFetch() const
{
    const auto left = schedule_.Due() - platform::BootClock::now();
    return std::chrono::system_clock::now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(left);
}

void ClockKeeper::ReportNotice(Notice notice, const std::string& text)
{
    if (text.empty())
        state_.notices.erase(notice);
    else
        state_.notices[notice] = text;
    face_.ReportNotice(notice, text);
    Changed();
}

void ClockKeeper::ShowUnknownBadge()
{
    state_.source.reset();
    state_.state.reset();
    face_.ShowUnknownBadge();
    Changed();
}

void ClockKeeper::SetReachable(bool reachable)
{
    if (std::exchange(state_.reachable, reachable) != reachable)
        Changed();
}

void ClockKeeper::StartSynchroniserWatch()
{
    if (synchroniserWatch_ || !services_.synchroniserProbe || standingBy_)
        return;
    synchroniserWatch_ = std::make_unique<SynchroniserWatch>(
        *services_.synchroniserProbe,
        [this](const std::string& text) { ReportNotice(Notice::OtherSynchroniser, text); },
        SynchroniserWatch::kInterval, false);
    if (services_.ownNtpService)
        synchroniserWatch_->OwnNtpService();
    if (kernelMarked_)
        synchroniserWatch_->OwnKernelMark();
    synchroniserWatch_->CheckNow();
}

void ClockKeeper::Changed()
{
    face_.StateChanged();
}

void ClockKeeper::ScheduledFetch()
{
    const auto now = platform::BootClock::now();
    if (!FFirstFetch && now < schedule_.Due()) {
        ArmSchedule(); // the first request went out by hand already
        return;
    }
    schedule_.Started(now);
    FFirstFetch = false;
    ArmSchedule();
    NoteSlewApplied(); // what a slew under way moved the clock since, so that the moment is right
    RefreshEstimate();
    // Sent when the server's second, as far as it is known, turns in the middle of the
    // request's flight: whichever second the reply then carries halves what is known.
    const platform::UtcTime nominal = services_.clock.UtcNow();
    const auto steadyNow = std::chrono::steady_clock::now();
    const platform::UtcTime moment = SendMoment(
        nominal, estimator_.At(std::chrono::time_point_cast<std::chrono::nanoseconds>(steadyNow)), lastRoundTrip_);
    sendNotBefore_ = steadyNow + std::chrono::duration_cast<std::chrono::steady_clock::duration>(moment - nominal);
    FetchTimeAndDate();
}

void ClockKeeper::ArmSchedule()
{
    scheduleTimer_.Start(FFirstFetch ? platform::BootClock::now() : schedule_.Due());
}

} // namespace keeper
