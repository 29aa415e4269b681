#include "net/socket_notifier.h"

#include "framework/application.h"
#include "framework/main_thread.h"
#include "net/socket_errors.h"
#include "net/socket_types.h"

#include <QSocketNotifier>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace net {

namespace {

void SetBlocking(int descriptor, bool blocking)
{
    int nonBlocking = blocking ? 0 : 1;
    // Fails only for a descriptor that is not an open socket, and the socket object hands
    // over none other.
    [[maybe_unused]] const int result = ioctl(descriptor, FIONBIO, &nonBlocking);
}

} // namespace

SocketNotifier::SocketNotifier(NotificationTarget& target) : target_(&target)
{
    lookupDeadline_.setSingleShot(true);
    QObject::connect(&lookupDeadline_, &QTimer::timeout, [this] {
        const int request = std::exchange(timedLookup_, 0);
        Deliver([request](NotificationTarget& to) { to.LookupDone(request, {WSAETIMEDOUT, 0}); });
    });
}

SocketNotifier::~SocketNotifier()
{
    Close();
}

void SocketNotifier::Select(int descriptor, int eventMask)
{
    Unselect();
    descriptor_ = descriptor;
    eventMask_ = eventMask;
    if (descriptor < 0)
        return;
    SetBlocking(descriptor, eventMask == 0);
}

void SocketNotifier::Unselect()
{
    ++registration_;
    reader_.reset();
    writer_.reset();
    descriptor_ = -1;
    eventMask_ = 0;
    phase_ = Phase::Idle;
    answerPending_ = false;
}

void SocketNotifier::ConnectStarted()
{
    if (!(eventMask_ & FD_CONNECT))
        return;
    phase_ = Phase::Connecting;
    ArmWriter();
}

void SocketNotifier::ListenStarted()
{
    if (!(eventMask_ & FD_ACCEPT))
        return;
    phase_ = Phase::Listening;
    ArmReader();
}

void SocketNotifier::Accepted()
{
    answerPending_ = false;
    if (phase_ == Phase::Listening)
        ArmReader();
}

void SocketNotifier::Received()
{
    answerPending_ = false;
    if (phase_ == Phase::Connected)
        ArmReader();
}

void SocketNotifier::SendBlocked()
{
    if (phase_ == Phase::Connected || phase_ == Phase::PeerClosed)
        ArmWriter();
}

void SocketNotifier::Connected()
{
    phase_ = Phase::Connected;
    Queue(FD_WRITE, 0);
    ArmReader();
}

void SocketNotifier::ArmReader()
{
    if (!reader_) {
        reader_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
        QObject::connect(reader_.get(), &QSocketNotifier::activated, reader_.get(), [this] {
            const std::shared_ptr<SocketNotifier> keep = shared_from_this();
            OnReadable();
        });
    }
    reader_->setEnabled(true);
}

void SocketNotifier::ArmWriter()
{
    if (!writer_) {
        writer_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Write);
        QObject::connect(writer_.get(), &QSocketNotifier::activated, writer_.get(), [this] {
            const std::shared_ptr<SocketNotifier> keep = shared_from_this();
            OnWritable();
        });
    }
    writer_->setEnabled(true);
}

// The read watch is level-triggered: it stays armed while the handlers take what it
// reports, and is disarmed when it fires again before they did, until they do. Switching a
// watch costs the main loop a wake-up, so the usual path switches nothing.
void SocketNotifier::OnReadable()
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
    char byte = 0;
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
void SocketNotifier::OnWritable()
{
    writer_->setEnabled(false);
    if (phase_ != Phase::Connecting) {
        Report(FD_WRITE, 0);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        phase_ = Phase::Idle;
        Report(FD_CONNECT, WinSockErrorFromErrno(error));
        return;
    }
    Queue(FD_CONNECT, 0);
    Connected();
}

std::function<void()> SocketNotifier::NetworkDelivery(int event, int error)
{
    return [this, registration = registration_, descriptor = descriptor_, event, error] {
        DeliverNetworkEvent(registration, descriptor, event, error);
    };
}

void SocketNotifier::Queue(int event, int error)
{
    if (eventMask_ & event)
        mailbox_.Post(NetworkDelivery(event, error));
}

void SocketNotifier::Report(int event, int error)
{
    if (eventMask_ & event)
        mailbox_.RunOrPost(NetworkDelivery(event, error));
}

void SocketNotifier::PostDeferredFree()
{
    mailbox_.Post([this] { Deliver([](NotificationTarget& target) { target.DeferredFree(); }); });
}

LookupReply SocketNotifier::LookupReplyFor(int request, std::chrono::milliseconds patience)
{
    timedLookup_ = request;
    lookupDeadline_.start(patience);
    // Runs on the lookup's thread: `this` is only reached on the main thread, through the
    // mailbox, so while this notifier is open.
    return [mailbox = mailbox_, this, request](const LookupResult& result) {
        mailbox.Post([this, request, result] {
            if (request == timedLookup_) {
                lookupDeadline_.stop();
                timedLookup_ = 0;
            }
            Deliver([&](NotificationTarget& target) { target.LookupDone(request, result); });
        });
    };
}

void SocketNotifier::Close()
{
    lookupDeadline_.stop();
    target_ = nullptr;
    mailbox_.Close();
    Unselect();
}

void SocketNotifier::DeliverNetworkEvent(unsigned registration, int descriptor, int event, int error)
{
    if (registration != registration_)
        return;
    Deliver([&](NotificationTarget& target) { target.SocketNotify(descriptor, event, error); });
}

void SocketNotifier::Deliver(const std::function<void(NotificationTarget&)>& delivery)
{
    if (!target_)
        return;
    const std::shared_ptr<SocketNotifier> keep = shared_from_this();
    try {
        delivery(*target_);
    } catch (...) {
        framework::HandleCurrentException();
    }
}

} // namespace net
