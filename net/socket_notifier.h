#pragma once

#include "framework/main_thread.h"
#include "net/host_lookup.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace net {

// What a socket notifier delivers to its socket object.
class NotificationTarget {
public:
    // One network event (an FD_ bit) of `descriptor`, with a Windows Sockets error number or 0.
    virtual void SocketNotify(int descriptor, int event, int error) = 0;
    // The release that the socket object asked for with PostDeferredFree.
    virtual void DeferredFree() = 0;
    // The outcome of the lookup that was started as `request`.
    virtual void LookupDone(int request, const LookupResult& result) = 0;

protected:
    ~NotificationTarget() = default;
};

// A socket object's notification window: a main-thread object that watches one descriptor
// with the main loop and reports what happens to it. Its notifications take the main
// thread's one road (framework/main_thread.h), in arrival order; one that the loop reports
// while nothing waits there is delivered at once. An exception that leaves a delivery goes
// to the central display.
//
// The network events follow the rules a socket object relies on:
//  - connect completed, with its error, once; then writable, and readable if data came;
//  - writable once when connected, and again after a send that would have blocked;
//  - readable after data arrives, and again after a receive that leaves data waiting;
//  - peer closed, with its error, once, and only after the data before it was read, so a
//    reply that is followed at once by the close is never lost;
//  - an incoming connection, and again after each accept while more are pending.
//
// Its socket object holds it, and so does each delivery while it runs, since a delivery
// may be the very one that frees the socket object.
class SocketNotifier final : public std::enable_shared_from_this<SocketNotifier> {
public:
    explicit SocketNotifier(NotificationTarget& target);
    ~SocketNotifier();
    SocketNotifier(const SocketNotifier&) = delete;
    SocketNotifier& operator=(const SocketNotifier&) = delete;

    // Registers `descriptor` for the events of `eventMask` and makes it non-blocking, in place
    // of an earlier registration, whose undelivered notifications are dropped. An empty mask
    // makes it blocking. Nothing is watched until the socket object tells what it did.
    void Select(int descriptor, int eventMask);
    // Stops watching and drops the network notifications not yet delivered. Call it before
    // closing the descriptor.
    void Unselect();

    // What the socket object did, which arms the events that wait for it.
    void ConnectStarted(); // connect() is under way
    void Connected();      // the descriptor was accepted: writable at once, readable when data waits
    void ListenStarted();  // listen() succeeded
    void Accepted();       // an accept was made
    void Received();       // a receive was made
    void SendBlocked();    // a send would have blocked

    // Delivers DeferredFree after everything queued for the main thread so far.
    void PostDeferredFree();
    // Where a helper thread hands the outcome of lookup `request`: it is delivered like a
    // notification, or dropped when this notifier is closed by then. When none has come
    // within `patience`, the lookup is delivered at once as failed with WSAETIMEDOUT (no
    // answer); its outcome, should it still come, is delivered too, and the socket object
    // tells it by its request number. One lookup at a time is timed: the next one started
    // ends the patience with the last.
    LookupReply LookupReplyFor(int request, std::chrono::milliseconds patience);

    // Ends the notifier as its socket object goes: nothing more is delivered, neither what
    // is queued nor what comes later.
    void Close();

private:
    enum class Phase { Idle, Connecting, Connected, PeerClosed, Listening };

    void OnReadable();
    void OnWritable();
    void ArmReader();
    void ArmWriter();
    // Hands a network event to the target, unless it belongs to an earlier registration.
    void DeliverNetworkEvent(unsigned registration, int descriptor, int event, int error);
    // Runs a delivery with the target's exceptions sent to the central display.
    void Deliver(const std::function<void(NotificationTarget&)>& delivery);
    // Queues a network event behind those waiting.
    void Queue(int event, int error);
    // Delivers a network event at once when none waits ahead, otherwise queues it.
    void Report(int event, int error);
    std::function<void()> NetworkDelivery(int event, int error);

    NotificationTarget* target_;
    int descriptor_ = -1;
    int eventMask_ = 0;
    Phase phase_ = Phase::Idle;
    bool answerPending_ = false; // FD_READ or FD_ACCEPT reported, its receive or accept not made
    unsigned registration_ = 0;  // tells notifications of an earlier registration apart
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
    QTimer lookupDeadline_;
    int timedLookup_ = 0; // the request lookupDeadline_ runs for
    framework::MainThreadMailbox mailbox_;
};

} // namespace net
