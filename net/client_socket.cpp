#include "net/client_socket.h"

namespace net {

TClientSocket::TClientSocket(QObject* owner) : TCustomSocket(owner), socket_(std::make_unique<TClientWinSocket>())
{
    HookUp(*socket_);
}

TClientSocket::~TClientSocket() = default;

void TClientSocket::Activate(bool value)
{
    if (value == socket_->IsConnected())
        return;
    if (socket_->IsConnected())
        socket_->CloseConnection(socket_->Descriptor());
    else
        socket_->OpenConnection(Host(), Address(), Service(), Port());
}

} // namespace net
