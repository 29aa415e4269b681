#include "net/custom_win_socket.h"

#include "framework/format.h"
#include "framework/scope_exit.h"
#include "net/socket_errors.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

namespace net {
namespace {

constexpr int kMaxBacklog = 5;

sockaddr_in AnyAddress()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    return address;
}

TErrorEvent ErrorEventOf(int event)
{
    switch (event) {
    case FD_READ:
        return erReceive;
    case FD_WRITE:
        return erSend;
    case FD_ACCEPT:
        return erAccept;
    case FD_CONNECT:
        return erConnect;
    case FD_CLOSE:
        return erDisconnect;
    default:
        return erGeneral;
    }
}

ESocketError SocketError(int number, const std::string& op)
{
    return ESocketError(SocketErrorMessage(number, op), number);
}

int CheckError(int resultCode, int error, const std::string& op)
{
    if (resultCode == 0)
        return 0;
    const int number = WinSockErrorFromErrno(error);
    if (number == WSAEWOULDBLOCK)
        return number;
    throw SocketError(number, op);
}

// The kernel's note of when the bytes read arrived, or the time of the read without one.
ReceiptTime ReceiptTimeOf(msghdr& message)
{
    for (cmsghdr* note = CMSG_FIRSTHDR(&message); note; note = CMSG_NXTHDR(&message, note)) {
        if (note->cmsg_level == SOL_SOCKET && note->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(note), sizeof stamp);
            return ReceiptTime(std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
        }
    }
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

} // namespace

TCustomWinSocket::TCustomWinSocket(platform::UniqueFd socket)
    : descriptor_(std::move(socket)), isConnected_(static_cast<bool>(descriptor_)), address_(AnyAddress())
{
}

TCustomWinSocket::~TCustomWinSocket()
{
    SocketEventHook = nullptr;
    lookupRequest_ = 0;
    int error = 0;
    // Nobody is left to tell of a failed close.
    [[maybe_unused]] const int closed = CloseDescriptor(error);
    if (notifier_)
        notifier_->Close();
}

int TCustomWinSocket::CheckResult(int resultCode, const std::string& op)
{
    return CheckError(resultCode, errno, op);
}

int TCustomWinSocket::WriteText(const std::string& Text)
{
    return SendBytes(Text.data(), static_cast<int>(Text.size()));
}

int TCustomWinSocket::SendBytes(const void* buffer, int count)
{
    std::lock_guard lock(SocketLock);
    if (!isConnected_)
        return 0;
    const ssize_t sent = ::send(descriptor_.Get(), buffer, static_cast<size_t>(std::max(count, 0)), MSG_NOSIGNAL);
    if (sent >= 0)
        return static_cast<int>(sent);
    return TransferFailed(WinSockErrorFromErrno(errno), erSend, "send");
}

int TCustomWinSocket::ReceiveBytes(void* buffer, int count)
{
    std::lock_guard lock(SocketLock);
    if (count == -1 && isConnected_) {
        int waiting = 0;
        // A failure leaves the count at 0: nothing is read, as when nothing waits.
        [[maybe_unused]] const int result = ioctl(descriptor_.Get(), FIONREAD, &waiting);
        return waiting;
    }
    return Receive(buffer, count, nullptr);
}

int TCustomWinSocket::ReceiveBytes(void* buffer, int count, ReceiptTime& receivedAt)
{
    return Receive(buffer, std::max(count, 0), &receivedAt);
}

int TCustomWinSocket::Receive(void* buffer, int count, ReceiptTime* receivedAt)
{
    std::lock_guard lock(SocketLock);
    if (!isConnected_)
        return 0;
    ssize_t received = 0;
    int error = 0;
    if (count > 0) {
        iovec bytes{buffer, static_cast<size_t>(count)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &bytes;
        message.msg_iovlen = 1;
        if (receivedAt) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
        }
        received = ::recvmsg(descriptor_.Get(), &message, 0);
        error = errno;
        if (received > 0 && receivedAt)
            *receivedAt = ReceiptTimeOf(message);
    }
    if (notifier_)
        notifier_->Received();
    if (received >= 0)
        return static_cast<int>(received);
    return TransferFailed(WinSockErrorFromErrno(error), erReceive, "recv");
}

void TCustomWinSocket::SetReceiptTimes(bool on)
{
    receiptTimes_ = on;
    ApplyReceiptTimes();
}

void TCustomWinSocket::ApplyReceiptTimes() noexcept
{
    if (!descriptor_)
        return;
    const int on = receiptTimes_ ? 1 : 0;
    // Without the kernel's notes a receive gives the time of the read, as it always did.
    [[maybe_unused]] const int noted = setsockopt(descriptor_.Get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

// A send or receive that failed for good ends the connection, whatever the handler did.
int TCustomWinSocket::TransferFailed(int error, TErrorEvent ErrorEvent, const char* op)
{
    if (error == WSAEWOULDBLOCK) {
        if (ErrorEvent == erSend && notifier_)
            notifier_->SendBlocked();
        return -1;
    }
    int code = error;
    try {
        SignalError(this, ErrorEvent, code);
    } catch (...) {
        // Not a scope's exit action: OnDisconnect may raise in its turn.
        CloseConnection(Descriptor());
        throw;
    }
    CloseConnection(Descriptor());
    if (code != 0)
        throw SocketError(code, op);
    return -1;
}

std::string TCustomWinSocket::ReadText()
{
    const int waiting = ReceiveBytes(nullptr, -1);
    std::string text(static_cast<size_t>(std::max(waiting, 0)), '\0');
    const int received = ReceiveBytes(text.data(), waiting);
    text.resize(static_cast<size_t>(std::max(received, 0)));
    return text;
}

std::string TCustomWinSocket::PeerAddress()
{
    std::lock_guard lock(SocketLock);
    if (!isConnected_)
        return {};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    CheckResult(getpeername(descriptor_.Get(), reinterpret_cast<sockaddr*>(&peer), &length), "getpeername");
    char text[INET_ADDRSTRLEN] = {};
    // Cannot fail: an IPv4 address always fits.
    [[maybe_unused]] const char* const written = inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

void TCustomWinSocket::OpenConnection(const std::string& Host, const std::string& Address, const std::string& Service,
                                      int Port)
{
    if (isConnected_)
        throw ESocketError(kSocketAlreadyOpen);
    CreateDescriptor();
    try {
        SignalEvent(this, skLookup);
        ResolveStep(Host, Address, Service, Port, 0, true);
    } catch (...) {
        CloseConnection(Descriptor());
        throw;
    }
}

void TCustomWinSocket::CreateDescriptor()
{
    AbandonAttempt();
    platform::UniqueFd descriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!descriptor)
        throw ESocketError(kCantCreateSocket);
    descriptor_ = std::move(descriptor);
}

void TCustomWinSocket::AbandonAttempt() noexcept
{
    lookupRequest_ = 0;
    stage_ = rsIdle;
    int error = 0;
    // An attempt that failed or was given up: its close has nothing to report.
    [[maybe_unused]] const int closed = CloseDescriptor(error);
}

void TCustomWinSocket::ResolveStep(const std::string& Host, const std::string& Address, const std::string& Service,
                                   int Port, int backlog, bool client)
{
    for (;;) {
        switch (stage_) {
        case rsIdle:
            if (!client) {
                address_.sin_addr.s_addr = htonl(INADDR_ANY);
            } else if (!Host.empty()) {
                StartLookup(Host, true);
                saved_ = {Service, Port, backlog, client};
                stage_ = rsAddress;
                return;
            } else if (!Address.empty()) {
                // Only dotted addresses: anything else gives INADDR_NONE, 255.255.255.255.
                address_.sin_addr.s_addr = inet_addr(Address.c_str());
            } else {
                throw ESocketError(kNoAddress);
            }
            stage_ = rsAddress;
            break;
        case rsAddress:
            if (!Service.empty()) {
                StartLookup(Service, false);
                saved_ = {Service, Port, backlog, client};
                stage_ = rsService;
                return;
            }
            address_.sin_port = htons(static_cast<std::uint16_t>(Port));
            stage_ = rsService;
            break;
        case rsService:
            stage_ = rsIdle;
            if (client)
                StartConnect();
            else
                StartListen(backlog);
            return;
        }
    }
}

void TCustomWinSocket::StartLookup(const std::string& name, bool Host)
{
    static int lastRequest = 0; // lookups start on the main thread only
    lastRequest = lastRequest == INT32_MAX ? 1 : lastRequest + 1;
    lookupRequest_ = lastRequest;
    try {
        LookupReply reply = Notifier().LookupReplyFor(lookupRequest_, lookupPatience_);
        if (Host)
            StartHostLookup(name, std::move(reply));
        else
            StartServiceLookup(name, std::move(reply));
    } catch (const std::system_error& error) {
        lookupRequest_ = 0;
        throw SocketError(WinSockErrorFromErrno(error.code().value()),
                          Host ? "WSAASyncGetHostByName" : "WSAASyncGetServByName");
    }
}

void TCustomWinSocket::LookupDone(int request, const LookupResult& result)
{
    if (request != lookupRequest_)
        return;
    lookupRequest_ = 0;
    if (result.error != 0) {
        AttemptFailed(erLookup, result.error, "ASync Lookup");
        return;
    }
    try {
        if (stage_ == rsAddress) {
            // 0.0.0.0 is this PC's "any address", nobody's to connect to: the system would
            // take it for this PC itself.
            if (result.value == htonl(INADDR_ANY)) {
                AttemptFailed(erLookup, WSAEADDRNOTAVAIL, "ASync Lookup");
                return;
            }
            address_.sin_addr.s_addr = result.value;
            ResolveStep({}, {}, saved_.service, saved_.port, saved_.backlog, saved_.client);
        } else if (stage_ == rsService) {
            address_.sin_port = htons(static_cast<std::uint16_t>(result.value));
            saved_.service.clear();
            saved_.port = 0;
            ResolveStep({}, {}, {}, 0, saved_.backlog, saved_.client);
        }
    } catch (const ESocketError& failure) {
        // A connect that fails at once (no route, say) is reported as one that fails later.
        if (!saved_.client || failure.ErrorCode() == 0) {
            CloseConnection(Descriptor());
            throw;
        }
        AttemptFailed(erConnect, failure.ErrorCode(), "connect");
    } catch (...) {
        CloseConnection(Descriptor());
        throw;
    }
}

// Ends an attempt that failed after its lookup as a refused connect ends: OnError, then the
// descriptor goes without any event. So a name that does not resolve is the handler's to
// report, never a box of its own; it is raised only when the handler left the code.
void TCustomWinSocket::AttemptFailed(TErrorEvent ErrorEvent, int error, const char* op)
{
    const int attempt = Descriptor();
    int code = error;
    {
        // Unless the handler has started another attempt meanwhile.
        const framework::ScopeExit abandon([this, attempt]() noexcept {
            if (Descriptor() == attempt)
                AbandonAttempt();
        });
        SignalError(this, ErrorEvent, code);
    }
    if (code != 0)
        throw SocketError(code, op);
}

void TCustomWinSocket::StartConnect()
{
    Notifier().Select(Descriptor(), eventMask_);
    SignalEvent(this, skConnecting);
    if (::connect(Descriptor(), reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0)
        CheckResult(-1, "connect");
    stage_ = rsIdle;
    if (eventMask_ & FD_CONNECT) {
        Notifier().ConnectStarted();
        return;
    }
    isConnected_ = static_cast<bool>(descriptor_);
    SignalEvent(this, skConnect);
}

void TCustomWinSocket::StartListen(int backlog)
{
    // As Windows binds: refused while another socket listens on the port, but not for the
    // closed connections of an earlier run still in TIME_WAIT. Should the option fail, such
    // a bind is refused, and the bind says so.
    const int reuse = 1;
    [[maybe_unused]] const int reusing = setsockopt(Descriptor(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    CheckResult(::bind(Descriptor(), reinterpret_cast<const sockaddr*>(&address_), sizeof address_), "bind");
    // Before the listen, so that the connections it takes are noted from their first byte.
    ApplyReceiptTimes();
    Notifier().Select(Descriptor(), eventMask_);
    SignalEvent(this, skListen);
    CheckResult(::listen(Descriptor(), std::min(backlog, kMaxBacklog)), "listen");
    stage_ = rsIdle;
    isConnected_ = true;
    Notifier().ListenStarted();
}

void TCustomWinSocket::CloseConnection(int Socket)
{
    std::lock_guard lock(SocketLock);
    lookupRequest_ = 0;
    if (Socket == -1 || Socket != Descriptor() || closing_)
        return;
    int closed = 0;
    int error = 0;
    {
        // The socket is closed even when the handler raises; its exception goes first.
        closing_ = true;
        const framework::ScopeExit closeAfterwards([&]() noexcept {
            closing_ = false;
            closed = CloseDescriptor(error);
        });
        SignalEvent(this, skDisconnect);
    }
    CheckError(closed, error, "closesocket");
}

int TCustomWinSocket::CloseDescriptor(int& error) noexcept
{
    if (!descriptor_)
        return 0;
    if (notifier_)
        notifier_->Unselect();
    const int closed = descriptor_.Close();
    error = errno;
    address_ = AnyAddress();
    isConnected_ = false;
    return closed;
}

void TCustomWinSocket::SetEventMask(int mask)
{
    if (mask == eventMask_)
        return;
    eventMask_ = mask;
    if (!descriptor_)
        return;
    Notifier().Select(Descriptor(), eventMask_);
    const bool connecting = !isConnected_ && stage_ == rsIdle && !lookupRequest_;
    if (connecting)
        Notifier().ConnectStarted();
}

SocketNotifier& TCustomWinSocket::Notifier()
{
    if (!notifier_)
        notifier_ = std::make_shared<SocketNotifier>(static_cast<NotificationTarget&>(*this));
    return *notifier_;
}

void TCustomWinSocket::SocketNotify(int Socket, int event, int error)
{
    if (error != 0) {
        int code = error;
        try {
            SignalError(this, ErrorEventOf(event), code);
        } catch (...) {
            ErrorNotified(Socket, event);
            throw;
        }
        ErrorNotified(Socket, event);
        if (code != 0)
            throw ESocketError(framework::Format(kAsyncSocketError, code), code);
        return;
    }
    switch (event) {
    case FD_CONNECT:
        HandleConnect(Socket);
        break;
    case FD_CLOSE:
        CloseConnection(Socket);
        break;
    case FD_READ:
        HandleRead(Socket);
        break;
    case FD_WRITE:
        HandleWrite(Socket);
        break;
    case FD_ACCEPT:
        HandleAccept(Socket);
        break;
    default:
        break;
    }
}

void TCustomWinSocket::HandleAccept(int /*Socket*/) {}

void TCustomWinSocket::HandleConnect(int /*Socket*/) {}

void TCustomWinSocket::HandleRead(int Socket)
{
    if (descriptor_ && Socket == Descriptor())
        SignalEvent(this, skRead);
}

void TCustomWinSocket::HandleWrite(int Socket)
{
    if (descriptor_ && Socket == Descriptor())
        SignalEvent(this, skWrite);
}

void TCustomWinSocket::ErrorNotified(int /*Socket*/, int /*Event*/) {}

void TCustomWinSocket::DeferredFree() {}

void TCustomWinSocket::SignalEvent(TCustomWinSocket* Socket, TSocketEventKind kind)
{
    if (SocketEventHook)
        SocketEventHook(this, Socket, kind);
}

void TCustomWinSocket::SignalError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    if (ErrorEventHook)
        ErrorEventHook(this, Socket, ErrorEvent, ErrorCode);
}

void TClientWinSocket::SetClientType(TClientType value)
{
    if (value == clientType_)
        return;
    if (IsConnected())
        throw ESocketError(kCantChangeWhileActive);
    clientType_ = value;
    SetEventMask(value == ctBlocking ? 0 : kConnectionEvents);
}

void TClientWinSocket::HandleConnect(int /*Socket*/)
{
    SetConnected(true);
    SignalEvent(this, skConnect);
}

void TClientWinSocket::ErrorNotified(int Socket, int event)
{
    if (event == FD_CONNECT && Socket == Descriptor())
        AbandonAttempt();
}

} // namespace net
