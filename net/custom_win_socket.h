#pragma once

#include "net/host_lookup.h"
#include "net/socket_notifier.h"
#include "net/socket_types.h"
#include "platform/unique_fd.h"

#include <QObject>

#include <netinet/in.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace net {

// When the kernel received bytes, by the real-time clock (CLOCK_REALTIME).
using ReceiptTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// The socket object: one TCP socket of the platform, non-blocking, whose network events
// arrive through its notifier on the main thread and are reported to SocketEventHook and
// ErrorEventHook.
//
// Handlers run inside the operation that caused them or inside the delivery of a
// notification, and may call back into the object. They must not destroy the object whose
// event they handle.
class TCustomWinSocket : public QObject, private NotificationTarget {
public:
    // Takes over `socket`, a connected descriptor, or none.
    explicit TCustomWinSocket(platform::UniqueFd socket = {});
    ~TCustomWinSocket() override;
    TCustomWinSocket(const TCustomWinSocket&) = delete;
    TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

    // One send of the caller's bytes. Returns the count the system took, which may be less
    // (the rest is dropped); 0 when not connected; -1 when it would block (FD_WRITE follows
    // once there is room) or failed. A failure is reported as erSend, closes the connection,
    // and is raised unless the error handler consumed it.
    int SendBytes(const void* buffer, int count);
    // The text's bytes, without a terminator, through SendBytes.
    int WriteText(const std::string& Text);
    // One receive of at most `count` bytes, with the rules of SendBytes and erReceive; a
    // count of -1 asks for the number of bytes waiting.
    int ReceiveBytes(void* buffer, int count);
    // One receive as ReceiveBytes above (without its count of -1), which also sets
    // `receivedAt` to when the kernel received the last of the bytes read: its own note
    // where receipt times are on (SetReceiptTimes), else the time of this read. Left as it
    // was when nothing was read.
    int ReceiveBytes(void* buffer, int count, ReceiptTime& receivedAt);
    // Whether the kernel notes when bytes arrive (SO_TIMESTAMPNS): at once on an open
    // socket, and on the next listen. A listener hands it on to the connections it accepts,
    // so bytes that arrive before the accept are noted too; set on a connection, it misses
    // what waits already.
    void SetReceiptTimes(bool on);
    // Every byte waiting at this moment; empty when not connected or nothing waits.
    std::string ReadText();
    // The peer's IPv4 address in dotted decimal; empty when not connected.
    std::string PeerAddress();

    int Descriptor() const { return descriptor_.Get(); }
    // Connected (client), listening (listener) or accepted (connection), until closed.
    bool IsConnected() const { return isConnected_; }
    int EventMask() const { return eventMask_; }
    // The peer to connect to, or the local address to bind.
    const sockaddr_in& AddressRecord() const { return address_; }
    bool LookupPending() const { return lookupRequest_ != 0; }

    // How long an attempt waits for a host or service lookup. A resolver whose name server
    // never answers holds its helper thread for long: the attempt fails after this with
    // erLookup and WSAETIMEDOUT, and the lookup's late outcome is ignored.
    static constexpr std::chrono::milliseconds kLookupPatience{10000};
    void SetLookupPatience(std::chrono::milliseconds patience) { lookupPatience_ = patience; }

    // Starts a connection attempt: OnLookup, then the resolution of the address and the port
    // (ResolveStep), then StartConnect. An attempt that is under way, or that failed, is
    // dropped first without any event. A failure closes the new socket (OnDisconnect) and is
    // raised to the caller. Whether it blocks follows from the event mask (the client type).
    // A host that resolves to 0.0.0.0 fails as a lookup, with WSAEADDRNOTAVAIL.
    void OpenConnection(const std::string& Host, const std::string& Address, const std::string& Service, int Port);

    // What the notifications do; each names the descriptor the notification was for.
    virtual void HandleAccept(int Socket);
    virtual void HandleConnect(int Socket);
    // Reports skDisconnect while the socket is still open, then closes it. Stops before that
    // when `Socket` is not the current descriptor; a pending lookup is forgotten either way.
    virtual void CloseConnection(int Socket);
    virtual void HandleRead(int Socket);
    virtual void HandleWrite(int Socket);

    // Passes a result of 0 and the would-block error (whose number it returns); raises any
    // other error of the last call as "Windows socket error" on `op`.
    static int CheckResult(int resultCode, const std::string& op);

    SocketEventHandler SocketEventHook;
    ErrorEventHandler ErrorEventHook;

protected:
    // Advances the resolution by its stages until it waits for a lookup or the stage is back
    // at idle, where a client connects and a listener listens. A failure is raised to the
    // caller, which closes the socket.
    void ResolveStep(const std::string& Host, const std::string& Address, const std::string& Service, int Port,
                     int backlog, bool client);
    void StartConnect();
    // Binds, reports skListen, then listens with a backlog of at most 5.
    void StartListen(int backlog);

    void SignalEvent(TCustomWinSocket* Socket, TSocketEventKind kind);
    void SignalError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);

    // Drops the attempt under way or failed, if any, then opens a new socket.
    void CreateDescriptor();
    // Forgets a lookup and closes the descriptor of an attempt, without any event.
    void AbandonAttempt() noexcept;
    void SetConnected(bool value) { isConnected_ = value; }
    // Registers the event mask anew when the descriptor is set.
    void SetEventMask(int mask);
    SocketNotifier& Notifier();
    bool HasNotifier() const { return notifier_ != nullptr; }

    // After an error notification was reported and before its exception is raised.
    virtual void ErrorNotified(int Socket, int event);
    void DeferredFree() override;

    // The object's lock, re-entrant for the thread that holds it.
    std::recursive_mutex SocketLock;

private:
    void SocketNotify(int Socket, int event, int error) override;
    void LookupDone(int request, const LookupResult& result) override;
    void AttemptFailed(TErrorEvent ErrorEvent, int error, const char* op);
    void StartLookup(const std::string& name, bool Host);
    int TransferFailed(int error, TErrorEvent ErrorEvent, const char* op);
    // One recv, or a recvmsg that also takes the kernel's receipt time when asked for one.
    int Receive(void* buffer, int count, ReceiptTime* receivedAt);
    void ApplyReceiptTimes() noexcept;
    // Closes the descriptor without any event; returns the result of close() and its errno.
    [[nodiscard]] int CloseDescriptor(int& error) noexcept;

    struct SavedInputs {
        std::string service;
        int port = 0;
        int backlog = 0;
        bool client = false;
    };

    platform::UniqueFd descriptor_;
    bool isConnected_;
    bool closing_ = false;
    bool receiptTimes_ = false;
    sockaddr_in address_{};
    int eventMask_ = kConnectionEvents;
    TResolveStage stage_ = rsIdle;
    int lookupRequest_ = 0;
    std::chrono::milliseconds lookupPatience_ = kLookupPatience;
    SavedInputs saved_;
    std::shared_ptr<SocketNotifier> notifier_; // created when first needed
};

// The socket object of a client component.
class TClientWinSocket : public TCustomWinSocket {
public:
    using TCustomWinSocket::TCustomWinSocket;

    TClientType ClientType() const { return clientType_; }
    // Refused while connected; ctBlocking watches no events.
    void SetClientType(TClientType value);

    void HandleConnect(int Socket) override;

protected:
    // A failed attempt's descriptor is released at once and without any event, so that
    // the next attempt starts clean and nothing stays open in between.
    void ErrorNotified(int Socket, int event) override;

private:
    TClientType clientType_ = ctNonBlocking;
};

} // namespace net
