#include "net/client_socket.h"

namespace net {

TClientSocket::TClientSocket(QObject* AOwner)
    : TCustomSocket(AOwner), socket_(std::make_unique<TClientWinSocket>())
{
    HookUp(*socket_);
}

TClientSocket::~TClientSocket() = default;

void TClientSocket::Activate(bool Value)
{
    if (Value == socket_->IsConnected())
        return;
    if (socket_->IsConnected())
        socket_->CloseConnection(socket_->Descriptor());
    else
        socket_->OpenConnection(Host(), Address(), Service(), Port());
}

} // namespace net
