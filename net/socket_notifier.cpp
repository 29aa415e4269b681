#include "net/socket_notifier.h"

#include "framework/application.h"
#include "net/socket_errors.h"
#include "net/socket_types.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

namespace net {
namespace {

struct Notification final : QEvent {
    enum class Kind { Network, DeferredFree, LookupDone };

    explicit Notification(Kind what) : QEvent(EventType()), kind(what) {}

    static QEvent::Type EventType()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    Kind kind;
    unsigned registration = 0;
    int descriptor = -1;
    int networkEvent = 0;
    int error = 0;
    int request = 0;
    TLookupResult result;
};

void SetBlocking(int descriptor, bool blocking)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags >= 0)
        fcntl(descriptor, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

} // namespace

// Shared with the lookup threads, which may outlive the notifier.
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
    if (phase_ == Phase::Listening)
        ArmReader();
}

void TSocketNotifier::Received()
{
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
    PostNetworkEvent(FD_WRITE, 0);
    ArmReader();
}

void TSocketNotifier::ArmReader()
{
    if (!reader_) {
        reader_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
        connect(reader_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
    }
    reader_->setEnabled(true);
}

void TSocketNotifier::ArmWriter()
{
    if (!writer_) {
        writer_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write, this);
        connect(writer_, &QSocketNotifier::activated, this, [this] { OnWritable(); });
    }
    writer_->setEnabled(true);
}

// Each event disarms its watch until the socket object does what re-arms it; the watches
// are level-triggered and would otherwise fire on every pass of the loop.
void TSocketNotifier::OnReadable()
{
    reader_->setEnabled(false);
    if (phase_ == Phase::Listening) {
        PostNetworkEvent(FD_ACCEPT, 0);
        return;
    }
    if (phase_ != Phase::Connected)
        return;
    int waiting = 0;
    if (ioctl(descriptor_, FIONREAD, &waiting) == 0 && waiting > 0) {
        PostNetworkEvent(FD_READ, 0);
        return;
    }
    // Nothing waits, so the peer has closed, the connection failed, or the wake was spurious.
    char byte;
    const ssize_t peeked = recv(descriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const int error = errno;
    if (peeked > 0) {
        PostNetworkEvent(FD_READ, 0);
    } else if (peeked < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
        reader_->setEnabled(true);
    } else {
        phase_ = Phase::PeerClosed;
        PostNetworkEvent(FD_CLOSE, peeked == 0 ? 0 : WinSockErrorFromErrno(error));
    }
}

void TSocketNotifier::OnWritable()
{
    writer_->setEnabled(false);
    if (phase_ != Phase::Connecting) {
        PostNetworkEvent(FD_WRITE, 0);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        phase_ = Phase::Idle;
        PostNetworkEvent(FD_CONNECT, WinSockErrorFromErrno(error));
        return;
    }
    PostNetworkEvent(FD_CONNECT, 0);
    Connected();
}

void TSocketNotifier::PostNetworkEvent(int event, int error)
{
    if (!(eventMask_ & event))
        return;
    auto* notification = new Notification(Notification::Kind::Network);
    notification->registration = registration_;
    notification->descriptor = descriptor_;
    notification->networkEvent = event;
    notification->error = error;
    QCoreApplication::postEvent(this, notification);
}

void TSocketNotifier::PostDeferredFree()
{
    QCoreApplication::postEvent(this, new Notification(Notification::Kind::DeferredFree));
}

TLookupReply TSocketNotifier::LookupReplyFor(int request)
{
    return [mailbox = mailbox_, request](const TLookupResult& result) {
        std::lock_guard lock(mailbox->mutex);
        if (!mailbox->notifier)
            return;
        auto* notification = new Notification(Notification::Kind::LookupDone);
        notification->request = request;
        notification->result = result;
        QCoreApplication::postEvent(mailbox->notifier, notification);
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

bool TSocketNotifier::event(QEvent* event)
{
    if (event->type() != Notification::EventType())
        return QObject::event(event);
    const auto& notification = *static_cast<const Notification*>(event);
    if (!target_)
        return true;
    if (notification.kind == Notification::Kind::Network && notification.registration != registration_)
        return true;
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
        deleteLater();
    return true;
}

} // namespace net
