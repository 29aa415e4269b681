#include "net/server_socket.h"

namespace net {
namespace {

constexpr int kListenBacklog = 5;

} // namespace

TCustomServerSocket::TCustomServerSocket(QObject* owner)
    : TCustomSocket(owner), socket_(std::make_unique<TServerWinSocket>())
{
    HookUp(*socket_);
}

TCustomServerSocket::~TCustomServerSocket() = default;

void TCustomServerSocket::Activate(bool value)
{
    if (value == socket_->IsConnected())
        return;
    if (socket_->IsConnected())
        socket_->CloseConnection(socket_->Descriptor());
    else
        socket_->OpenListener(Service(), Port(), kListenBacklog);
}

TServerSocket::TServerSocket(QObject* owner)
    : TCustomServerSocket(owner),
      OnGetSocket(Socket()->OnGetSocket),
      OnClientConnect(Socket()->OnClientConnect),
      OnClientDisconnect(Socket()->OnClientDisconnect),
      OnClientRead(Socket()->OnClientRead),
      OnClientWrite(Socket()->OnClientWrite),
      OnClientError(Socket()->OnClientError)
{
}

} // namespace net
