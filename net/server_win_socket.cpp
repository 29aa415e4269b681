#include "net/server_win_socket.h"

#include "framework/exception.h"
#include "framework/format.h"
#include "framework/scope_exit.h"
#include "platform/log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

namespace net {
namespace {

// How long the listener rests when not even its reserve makes room for a connection.
constexpr std::chrono::milliseconds kOutOfDescriptorsRest{100};

platform::UniqueFd OpenReserve()
{
    return platform::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// -1 when unknown.
long OpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return static_cast<long>(limit.rlim_cur);
}

bool IsShortOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

// "out of descriptors (this program's, limit 1024)", for the log.
std::string Shortage(int error)
{
    return framework::Format("out of descriptors (%s, limit %d)", error == EMFILE ? "this program's" : "the system's",
                             OpenFileLimit());
}

void Fire(const TSocketNotifyEvent& event, QObject* sender, TCustomWinSocket* socket)
{
    if (event)
        event(sender, socket);
}

} // namespace

TServerWinSocket::TServerWinSocket(platform::UniqueFd socket) : TCustomWinSocket(std::move(socket))
{
    SetEventMask(FD_ACCEPT);
}

TServerWinSocket::~TServerWinSocket()
{
    SocketEventHook = nullptr;
    FreeConnections();
}

void TServerWinSocket::SetServerType(TServerType value)
{
    if (value == serverType_)
        return;
    if (IsConnected())
        throw ESocketError(kCantChangeWhileActive);
    serverType_ = value;
    SetEventMask(value == stThreadBlocking ? 0 : FD_ACCEPT);
}

void TServerWinSocket::OpenListener(const std::string& Service, int Port, int backlog)
{
    if (IsConnected())
        throw ESocketError(kCannotListenOnOpen);
    CreateDescriptor();
    try {
        SignalEvent(this, skLookup);
        ResolveStep({}, {}, Service, Port, backlog, false);
    } catch (...) {
        CloseConnection(Descriptor());
        throw;
    }
    reserve_ = OpenReserve();
}

void TServerWinSocket::HandleAccept(int Socket)
{
    platform::UniqueFd accepted(::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC));
    int error = errno;
    const bool outOfDescriptors = !accepted && IsShortOfDescriptors(error);
    if (outOfDescriptors && AskForRoom(error)) {
        accepted = platform::UniqueFd(::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC));
        error = errno;
    }
    if (!accepted && IsShortOfDescriptors(error)) {
        DropForWantOfDescriptors(Socket, error);
        return;
    }
    Notifier().Accepted();
    if (!accepted)
        return;
    if (!outOfDescriptors)
        DescriptorsSufficeAgain();
    if (!reserve_)
        reserve_ = OpenReserve();
    TServerClientWinSocket* connection = MakeConnection(std::move(accepted));
    SignalEvent(connection, skAccept);
}

bool TServerWinSocket::AskForRoom(int error)
{
    if (!makeRoom)
        return false;
    // Whatever the owner raises, the listener goes on watching for connections.
    framework::ScopeExit watchAgain([this]() noexcept { Notifier().Accepted(); });
    const bool made = makeRoom();
    watchAgain.Dismiss();
    if (made && roomMade_++ == 0)
        qCWarning(platform::lcNet, "%s: connections are closed to make room for new ones", Shortage(error).c_str());
    return made;
}

void TServerWinSocket::DescriptorsSufficeAgain()
{
    if (dropped_ > 0)
        qCInfo(platform::lcNet, "accepting connections again; %d dropped for want of descriptors", dropped_);
    if (roomMade_ > 0)
        qCInfo(platform::lcNet, "descriptors to spare again; %d connections taken in place of others", roomMade_);
    dropped_ = 0;
    roomMade_ = 0;
}

void TServerWinSocket::DropForWantOfDescriptors(int Socket, int error)
{
    if (dropped_ == 0)
        qCWarning(platform::lcNet, "%s: incoming connections are dropped", Shortage(error).c_str());
    ++dropped_;
    reserve_.Reset();
    const bool dropped = static_cast<bool>(platform::UniqueFd(::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC)));
    reserve_ = OpenReserve();
    if (dropped && reserve_) {
        Notifier().Accepted();
        return;
    }
    // Another thread or program took the room: wait rather than try again at once.
    QTimer::singleShot(kOutOfDescriptorsRest, this, [this] {
        if (IsConnected())
            Notifier().Accepted();
    });
}

TServerClientWinSocket* TServerWinSocket::MakeConnection(platform::UniqueFd Socket)
{
    if (OnGetSocket) {
        TServerClientWinSocket* connection = nullptr;
        OnGetSocket(this, Socket.Get(), connection);
        if (connection) {
            [[maybe_unused]] const int takenOver = Socket.Release();
            return connection;
        }
    }
    // Listed, and so owned, by the listener as it is made.
    return new TServerClientWinSocket(std::move(Socket), this);
}

void TServerWinSocket::CloseConnection(int Socket)
{
    std::lock_guard lock(SocketLock);
    FreeConnections();
    TCustomWinSocket::CloseConnection(Socket);
    if (!IsConnected())
        reserve_.Reset();
}

// Each connection leaves the list before it is freed, outside ListLock, as its destructor
// closes its socket and may take other locks.
void TServerWinSocket::FreeConnections()
{
    for (;;) {
        std::unique_ptr<TServerClientWinSocket> last;
        {
            std::lock_guard lock(ListLock);
            if (connections_.empty())
                return;
            last = std::move(connections_.back());
            connections_.pop_back();
        }
    }
}

void TServerWinSocket::FreeConnection(TServerClientWinSocket* Socket)
{
    std::unique_ptr<TServerClientWinSocket> freed; // after ListLock is released
    std::lock_guard lock(ListLock);
    const auto listed = FindConnection(Socket);
    if (listed == connections_.end())
        return;
    freed = std::move(*listed);
    connections_.erase(listed);
}

TServerClientWinSocket* TServerWinSocket::Connection(int index) const
{
    if (index < 0 || index >= ConnectionCount())
        throw framework::ListError(framework::Format("List index out of bounds (%d)", index));
    return connections_[static_cast<size_t>(index)].get();
}

void TServerWinSocket::AddConnection(TServerClientWinSocket* Socket)
{
    std::lock_guard lock(ListLock);
    if (FindConnection(Socket) == connections_.end())
        connections_.emplace_back(Socket);
}

void TServerWinSocket::ForgetConnection(TServerClientWinSocket* Socket)
{
    std::lock_guard lock(ListLock);
    const auto listed = FindConnection(Socket);
    if (listed == connections_.end())
        return;
    [[maybe_unused]] TServerClientWinSocket* const unowned = listed->release();
    connections_.erase(listed);
}

std::vector<std::unique_ptr<TServerClientWinSocket>>::iterator TServerWinSocket::FindConnection(
    const TServerClientWinSocket* Socket)
{
    return std::find_if(connections_.begin(), connections_.end(),
                        [Socket](const auto& connection) { return connection.get() == Socket; });
}

void TServerWinSocket::ConnectionEvent(TServerClientWinSocket* Socket, TSocketEventKind kind)
{
    switch (kind) {
    case skConnect:
        ClientConnect(Socket);
        break;
    case skDisconnect:
        ClientDisconnect(Socket);
        break;
    case skWrite:
        ClientWrite(Socket);
        break;
    case skRead:
        ClientRead(Socket);
        break;
    default:
        break;
    }
}

void TServerWinSocket::ConnectionError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    ClientError(Socket, ErrorEvent, ErrorCode);
}

void TServerWinSocket::ClientConnect(TServerClientWinSocket* Socket)
{
    Fire(OnClientConnect, this, Socket);
}

void TServerWinSocket::ClientDisconnect(TServerClientWinSocket* Socket)
{
    const framework::ScopeExit release([Socket]() noexcept { Socket->ReleaseLater(); });
    Fire(OnClientDisconnect, this, Socket);
}

void TServerWinSocket::ClientRead(TServerClientWinSocket* Socket)
{
    Fire(OnClientRead, this, Socket);
}

void TServerWinSocket::ClientWrite(TServerClientWinSocket* Socket)
{
    Fire(OnClientWrite, this, Socket);
}

void TServerWinSocket::ClientError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    if (OnClientError)
        OnClientError(this, Socket, ErrorEvent, ErrorCode);
}

TServerClientWinSocket::TServerClientWinSocket(platform::UniqueFd Socket, TServerWinSocket* serverWinSocket)
    : TCustomWinSocket(std::move(Socket)), ownerServer_(serverWinSocket)
{
    ownerServer_->AddConnection(this);
    // Not constructed when this raises, so not the list's to free; the socket object's
    // destructor closes the socket.
    framework::ScopeExit unlist([this]() noexcept { ownerServer_->ForgetConnection(this); });
    if (ownerServer_->EventMask() != 0) {
        SocketEventHook = [this](TCustomWinSocket*, TCustomWinSocket*, TSocketEventKind kind) {
            ownerServer_->ConnectionEvent(this, kind);
        };
        ErrorEventHook = [this](TCustomWinSocket*, TCustomWinSocket*, TErrorEvent errorEvent, int& errorCode) {
            ownerServer_->ConnectionError(this, errorEvent, errorCode);
        };
        Notifier().Select(Descriptor(), EventMask());
        Notifier().Connected();
    }
    SignalEvent(this, skConnect);
    unlist.Dismiss();
}

void TServerClientWinSocket::ReleaseLater()
{
    if (HasNotifier())
        Notifier().PostDeferredFree();
}

void TServerClientWinSocket::ErrorNotified(int Socket, int /*Event*/)
{
    if (Socket == Descriptor())
        CloseConnection(Socket);
}

void TServerClientWinSocket::DeferredFree()
{
    ownerServer_->FreeConnection(this); // the last use of this object
}

} // namespace net
