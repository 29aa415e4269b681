#include "net/socket_notifier.h"

#include "framework/application.h"
#include "framework/main_thread.h"
#include "net/socket_errors.h"
#include "net/socket_types.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>

namespace net {

struct TSocketNotifier::Notification {
    enum class Kind { Network, DeferredFree, LookupDone };

    Notification(TSocketNotifier* to, Kind what) : notifier(to), kind(what) {}

    TSocketNotifier* notifier; // none once the notifier is gone
    Kind kind;
    unsigned registration = 0;
    int descriptor = -1;
    int networkEvent = 0;
    int error = 0;
    int request = 0;
    TLookupResult result;
};

namespace {

using Notification = TSocketNotifier::Notification;

// Socket work is handed out in turns of the main loop: once a turn has spent this much on
// deliveries, the rest waits for the next turn, so that timers, signals and the window keep
// their pace whatever arrives.
constexpr std::chrono::milliseconds kTurnShare{10};

// The main thread's queue of socket notifications. A wake-up is posted to the main loop when
// the first of a run is queued; one posted while a delivery runs lets a nested loop, such as
// that of an error box, go on delivering.
class DeliveryQueue {
public:
    static DeliveryQueue& Instance()
    {
        static DeliveryQueue queue;
        return queue;
    }

    // For what the main loop reports: when nothing waits ahead, no delivery is under way and
    // this turn of the loop has time left, delivering at once is what queuing would come to,
    // a pass of the loop sooner.
    void DeliverOrPush(const Notification& notification)
    {
        if (!queue_.empty() || delivering_ > 0 || TurnSpent()) {
            Push(notification);
            return;
        }
        Deliver(notification);
    }

    void Push(const Notification& notification)
    {
        queue_.push_back(notification);
        if (!wakePosted_)
            PostWake();
    }

    // Drops what is queued for a notifier that is going away.
    void Forget(const TSocketNotifier* notifier)
    {
        for (Notification& notification : queue_)
            if (notification.notifier == notifier)
                notification.notifier = nullptr;
    }

private:
    using Clock = std::chrono::steady_clock;

    void Drain()
    {
        wakePosted_ = false;
        const Clock::time_point start = Clock::now();
        while (!queue_.empty()) {
            if (Clock::now() - start >= kTurnShare) {
                PostWake();
                return;
            }
            const Notification next = queue_.front();
            queue_.pop_front();
            Deliver(next);
        }
    }

    void PostWake()
    {
        wakePosted_ = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [this] { Drain(); }, Qt::QueuedConnection);
    }

    // The turn lasts until the loop comes round to what was posted at its start, past the
    // timers and every other notifier.
    bool TurnSpent()
    {
        const Clock::time_point now = Clock::now();
        if (!turnOpen_) {
            turnOpen_ = true;
            turnStart_ = now;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [this] { turnOpen_ = false; }, Qt::QueuedConnection);
            return false;
        }
        return now - turnStart_ >= kTurnShare;
    }

    void Deliver(const Notification& notification)
    {
        if (!notification.notifier)
            return;
        ++delivering_;
        notification.notifier->Deliver(notification);
        --delivering_;
    }

    std::deque<Notification> queue_;
    bool wakePosted_ = false;
    int delivering_ = 0;
    bool turnOpen_ = false;
    Clock::time_point turnStart_;
};

void SetBlocking(int descriptor, bool blocking)
{
    int nonBlocking = blocking ? 0 : 1;
    ioctl(descriptor, FIONBIO, &nonBlocking);
}

} // namespace

// Tells whether the notifier still exists: to the lookup threads, which may outlive it, and
// to what it posted to the main loop. Only the main thread changes it.
struct TSocketNotifier::Mailbox {
    std::mutex mutex;
    TSocketNotifier* notifier;
};

TSocketNotifier::TSocketNotifier(TNotificationTarget& target)
    : target_(&target), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->notifier = this;
}

TSocketNotifier::~TSocketNotifier()
{
    Unselect();
    DeliveryQueue::Instance().Forget(this);
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->notifier = nullptr;
}

void TSocketNotifier::Select(int descriptor, int eventMask)
{
    Unselect();
    descriptor_ = descriptor;
    eventMask_ = eventMask;
    if (descriptor < 0)
        return;
    SetBlocking(descriptor, eventMask == 0);
}

void TSocketNotifier::Unselect()
{
    ++registration_;
    delete reader_;
    reader_ = nullptr;
    delete writer_;
    writer_ = nullptr;
    descriptor_ = -1;
    eventMask_ = 0;
    phase_ = Phase::Idle;
    answerPending_ = false;
}

void TSocketNotifier::ConnectStarted()
{
    if (!(eventMask_ & FD_CONNECT))
        return;
    phase_ = Phase::Connecting;
    ArmWriter();
}

void TSocketNotifier::ListenStarted()
{
    if (!(eventMask_ & FD_ACCEPT))
        return;
    phase_ = Phase::Listening;
    ArmReader();
}

void TSocketNotifier::Accepted()
{
    answerPending_ = false;
    if (phase_ == Phase::Listening)
        ArmReader();
}

void TSocketNotifier::Received()
{
    answerPending_ = false;
    if (phase_ == Phase::Connected)
        ArmReader();
}

void TSocketNotifier::SendBlocked()
{
    if (phase_ == Phase::Connected || phase_ == Phase::PeerClosed)
        ArmWriter();
}

void TSocketNotifier::Connected()
{
    phase_ = Phase::Connected;
    Queue(FD_WRITE, 0);
    ArmReader();
}

void TSocketNotifier::ArmReader()
{
    if (!reader_) {
        reader_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read);
        QObject::connect(reader_, &QSocketNotifier::activated, reader_, [this] { OnReadable(); });
    }
    reader_->setEnabled(true);
}

void TSocketNotifier::ArmWriter()
{
    if (!writer_) {
        writer_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write);
        QObject::connect(writer_, &QSocketNotifier::activated, writer_, [this] { OnWritable(); });
    }
    writer_->setEnabled(true);
}

// The read watch is level-triggered: it stays armed while the handlers take what it
// reports, and is disarmed when it fires again before they did, until they do. Switching a
// watch costs the main loop a wake-up, so the usual path switches nothing. Reporting comes
// last, since the delivery may free this notifier.
void TSocketNotifier::OnReadable()
{
    if (answerPending_ || (phase_ != Phase::Listening && phase_ != Phase::Connected)) {
        reader_->setEnabled(false);
        return;
    }
    if (phase_ == Phase::Listening) {
        answerPending_ = true;
        Report(FD_ACCEPT, 0);
        return;
    }
    // Data waiting comes first: the peer's close, or the failure, is reported once it is read.
    char byte;
    const ssize_t peeked = recv(descriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const int error = errno;
    if (peeked > 0) {
        answerPending_ = true;
        Report(FD_READ, 0);
    } else if (peeked < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
        return; // a spurious wake
    } else {
        phase_ = Phase::PeerClosed;
        reader_->setEnabled(false);
        Report(FD_CLOSE, peeked == 0 ? 0 : WinSockErrorFromErrno(error));
    }
}

// Writable is level-triggered too and true most of the time: watched only until reported.
void TSocketNotifier::OnWritable()
{
    writer_->setEnabled(false);
    if (phase_ != Phase::Connecting) {
        Report(FD_WRITE, 0);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        phase_ = Phase::Idle;
        Report(FD_CONNECT, WinSockErrorFromErrno(error));
        return;
    }
    Queue(FD_CONNECT, 0);
    Connected();
}

TSocketNotifier::Notification TSocketNotifier::NetworkNotification(int event, int error)
{
    Notification notification(this, Notification::Kind::Network);
    notification.registration = registration_;
    notification.descriptor = descriptor_;
    notification.networkEvent = event;
    notification.error = error;
    return notification;
}

void TSocketNotifier::Queue(int event, int error)
{
    if (eventMask_ & event)
        DeliveryQueue::Instance().Push(NetworkNotification(event, error));
}

void TSocketNotifier::Report(int event, int error)
{
    if (eventMask_ & event)
        DeliveryQueue::Instance().DeliverOrPush(NetworkNotification(event, error));
}

void TSocketNotifier::PostDeferredFree()
{
    // Behind everything already posted to the main loop, as a message would be.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [mailbox = mailbox_] {
            if (mailbox->notifier)
                DeliveryQueue::Instance().DeliverOrPush(
                    Notification(mailbox->notifier, Notification::Kind::DeferredFree));
        },
        Qt::QueuedConnection);
}

TLookupReply TSocketNotifier::LookupReplyFor(int request)
{
    return [mailbox = mailbox_, request](const TLookupResult& result) {
        std::lock_guard lock(mailbox->mutex);
        if (!mailbox->notifier)
            return; // gone, and perhaps the application with it
        framework::PostToMainThread([mailbox, request, result] {
            if (!mailbox->notifier)
                return;
            Notification notification{mailbox->notifier, Notification::Kind::LookupDone};
            notification.request = request;
            notification.result = result;
            DeliveryQueue::Instance().Push(notification);
        });
    };
}

void TSocketNotifier::Dispose()
{
    target_ = nullptr;
    Unselect();
    if (deliveries_ > 0)
        disposed_ = true;
    else
        delete this;
}

void TSocketNotifier::Deliver(const Notification& notification)
{
    if (!target_)
        return;
    if (notification.kind == Notification::Kind::Network && notification.registration != registration_)
        return;
    ++deliveries_;
    try {
        switch (notification.kind) {
        case Notification::Kind::Network:
            target_->SocketNotify(notification.descriptor, notification.networkEvent, notification.error);
            break;
        case Notification::Kind::DeferredFree:
            target_->DeferredFree();
            break;
        case Notification::Kind::LookupDone:
            target_->LookupDone(notification.request, notification.result);
            break;
        }
    } catch (...) {
        framework::HandleCurrentException();
    }
    --deliveries_;
    if (disposed_ && deliveries_ == 0)
        delete this;
}

} // namespace net
