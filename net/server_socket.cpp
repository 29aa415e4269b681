#include "net/server_socket.h"

namespace net {
namespace {

constexpr int kListenBacklog = 5;

} // namespace

TCustomServerSocket::TCustomServerSocket(QObject* AOwner)
    : TCustomSocket(AOwner), socket_(std::make_unique<TServerWinSocket>())
{
    HookUp(*socket_);
}

TCustomServerSocket::~TCustomServerSocket() = default;

void TCustomServerSocket::Activate(bool Value)
{
    if (Value == socket_->IsConnected())
        return;
    if (socket_->IsConnected())
        socket_->CloseConnection(socket_->Descriptor());
    else
        socket_->OpenListener(Service(), Port(), kListenBacklog);
}

TServerSocket::TServerSocket(QObject* AOwner)
    : TCustomServerSocket(AOwner),
      OnGetSocket(Socket()->OnGetSocket),
      OnClientConnect(Socket()->OnClientConnect),
      OnClientDisconnect(Socket()->OnClientDisconnect),
      OnClientRead(Socket()->OnClientRead),
      OnClientWrite(Socket()->OnClientWrite),
      OnClientError(Socket()->OnClientError)
{
}

} // namespace net
