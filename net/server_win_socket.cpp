#include "net/server_win_socket.h"

#include "framework/exception.h"
#include "framework/format.h"
#include "platform/log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace net {
namespace {

// How long the listener rests when not even its reserve makes room for a connection.
constexpr std::chrono::milliseconds kOutOfDescriptorsRest{100};

platform::UniqueFd OpenReserve()
{
    return platform::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

long OpenFileLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

void Fire(const TSocketNotifyEvent& event, QObject* sender, TCustomWinSocket* socket)
{
    if (event)
        event(sender, socket);
}

} // namespace

TServerWinSocket::TServerWinSocket(int ASocket) : TCustomWinSocket(ASocket)
{
    SetEventMask(FD_ACCEPT);
}

TServerWinSocket::~TServerWinSocket()
{
    SocketEventHook = nullptr;
    FreeConnections();
}

void TServerWinSocket::SetServerType(TServerType Value)
{
    if (Value == serverType_)
        return;
    if (IsConnected())
        throw ESocketError(sCantChangeWhileActive);
    serverType_ = Value;
    SetEventMask(Value == stThreadBlocking ? 0 : FD_ACCEPT);
}

void TServerWinSocket::OpenListener(const std::string& Service, int Port, int Backlog)
{
    if (IsConnected())
        throw ESocketError(sCannotListenOnOpen);
    CreateDescriptor();
    try {
        SignalEvent(this, skLookup);
        ResolveStep({}, {}, Service, Port, Backlog, false);
    } catch (...) {
        CloseConnection(Descriptor());
        throw;
    }
    reserve_ = OpenReserve();
}

void TServerWinSocket::HandleAccept(int Socket)
{
    const int accepted = ::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC);
    const int error = errno;
    if (accepted < 0 && (error == EMFILE || error == ENFILE)) {
        DropForWantOfDescriptors(Socket, error);
        return;
    }
    Notifier().Accepted();
    if (accepted < 0)
        return;
    if (dropped_ > 0) {
        qCInfo(platform::lcNet, "accepting connections again; %d dropped for want of descriptors", dropped_);
        dropped_ = 0;
    }
    if (!reserve_)
        reserve_ = OpenReserve();
    TServerClientWinSocket* connection = MakeConnection(accepted);
    SignalEvent(connection, skAccept);
}

void TServerWinSocket::DropForWantOfDescriptors(int Socket, int Error)
{
    if (dropped_ == 0)
        qCWarning(platform::lcNet, "out of descriptors (%s, limit %ld): incoming connections are dropped",
                  Error == EMFILE ? "this program's" : "the system's", OpenFileLimit());
    ++dropped_;
    reserve_.Reset();
    const int accepted = ::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0)
        ::close(accepted);
    reserve_ = OpenReserve();
    if (accepted >= 0 && reserve_) {
        Notifier().Accepted();
        return;
    }
    // Another thread or program took the room: wait rather than try again at once.
    QTimer::singleShot(kOutOfDescriptorsRest, this, [this] {
        if (IsConnected())
            Notifier().Accepted();
    });
}

TServerClientWinSocket* TServerWinSocket::MakeConnection(int Socket)
{
    TServerClientWinSocket* connection = nullptr;
    if (OnGetSocket) {
        try {
            OnGetSocket(this, Socket, connection);
        } catch (...) {
            if (!connection)
                ::close(Socket);
            throw;
        }
    }
    return connection ? connection : new TServerClientWinSocket(Socket, this);
}

void TServerWinSocket::CloseConnection(int Socket)
{
    std::lock_guard lock(SocketLock);
    FreeConnections();
    TCustomWinSocket::CloseConnection(Socket);
    if (!IsConnected())
        reserve_.Reset();
}

void TServerWinSocket::FreeConnections()
{
    for (;;) {
        TServerClientWinSocket* last = nullptr;
        {
            std::lock_guard lock(ListLock);
            if (connections_.empty())
                return;
            last = connections_.back();
        }
        delete last; // unlists itself
    }
}

TServerClientWinSocket* TServerWinSocket::Connection(int Index) const
{
    if (Index < 0 || Index >= ConnectionCount())
        throw framework::EListError(framework::Format("List index out of bounds (%d)", Index));
    return connections_[static_cast<size_t>(Index)];
}

void TServerWinSocket::AddConnection(TServerClientWinSocket* Socket)
{
    std::lock_guard lock(ListLock);
    if (std::find(connections_.begin(), connections_.end(), Socket) == connections_.end())
        connections_.push_back(Socket);
}

void TServerWinSocket::RemoveConnection(TServerClientWinSocket* Socket)
{
    std::lock_guard lock(ListLock);
    connections_.erase(std::remove(connections_.begin(), connections_.end(), Socket), connections_.end());
}

void TServerWinSocket::ConnectionEvent(TServerClientWinSocket* Socket, TSocketEventKind Kind)
{
    switch (Kind) {
    case skConnect: ClientConnect(Socket); break;
    case skDisconnect: ClientDisconnect(Socket); break;
    case skWrite: ClientWrite(Socket); break;
    case skRead: ClientRead(Socket); break;
    default: break;
    }
}

void TServerWinSocket::ConnectionError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    ClientError(Socket, ErrorEvent, ErrorCode);
}

void TServerWinSocket::ClientConnect(TServerClientWinSocket* Socket) { Fire(OnClientConnect, this, Socket); }

void TServerWinSocket::ClientDisconnect(TServerClientWinSocket* Socket)
{
    try {
        Fire(OnClientDisconnect, this, Socket);
    } catch (...) {
        Socket->ReleaseLater();
        throw;
    }
    Socket->ReleaseLater();
}

void TServerWinSocket::ClientRead(TServerClientWinSocket* Socket) { Fire(OnClientRead, this, Socket); }

void TServerWinSocket::ClientWrite(TServerClientWinSocket* Socket) { Fire(OnClientWrite, this, Socket); }

void TServerWinSocket::ClientError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    if (OnClientError)
        OnClientError(this, Socket, ErrorEvent, ErrorCode);
}

TServerClientWinSocket::TServerClientWinSocket(int Socket, TServerWinSocket* ServerWinSocket)
    : TCustomWinSocket(Socket), ownerServer_(ServerWinSocket)
{
    ownerServer_->AddConnection(this);
    if (ownerServer_->EventMask() != 0) {
        SocketEventHook = [this](TCustomWinSocket*, TCustomWinSocket*, TSocketEventKind kind) {
            ownerServer_->ConnectionEvent(this, kind);
        };
        ErrorEventHook = [this](TCustomWinSocket*, TCustomWinSocket*, TErrorEvent errorEvent, int& errorCode) {
            ownerServer_->ConnectionError(this, errorEvent, errorCode);
        };
        Notifier().Select(Socket, EventMask());
        Notifier().Connected();
    }
    try {
        SignalEvent(this, skConnect);
    } catch (...) {
        // Not constructed, so no destructor unlists it; the socket object's closes the socket.
        ownerServer_->RemoveConnection(this);
        throw;
    }
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    ownerServer_->RemoveConnection(this);
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
    delete this;
}

} // namespace net
