#pragma once

#include "net/server_win_socket.h"
#include "net/socket_component.h"

#include <QObject>

#include <memory>

namespace net {

// The server component: a listener on `Port` of every local address, with a backlog of 5.
//
// Setting Active to true binds, fires OnListen and listens before it returns; a port in
// use raises the "bind" error and leaves Active false. Setting it to false, or destroying
// the component, drops the open connections without OnClientDisconnect and closes the
// listener. OnListen and OnAccept come from the component; the OnClient... events from
// the listener, which is their `Sender`.
class TCustomServerSocket : public TCustomSocket {
public:
    explicit TCustomServerSocket(QObject* owner);
    ~TCustomServerSocket() override;

    TServerWinSocket* Socket() const { return socket_.get(); }

protected:
    void Activate(bool value) override;

private:
    std::unique_ptr<TServerWinSocket> socket_;
};

class TServerSocket : public TCustomServerSocket {
public:
    explicit TServerSocket(QObject* owner);

    TServerType ServerType() const { return Socket()->ServerType(); }
    void SetServerType(TServerType value) { Socket()->SetServerType(value); }

    // The listener's own events, reached through the component.
    TGetSocketEvent& OnGetSocket;
    TSocketNotifyEvent& OnClientConnect;
    TSocketNotifyEvent& OnClientDisconnect;
    TSocketNotifyEvent& OnClientRead;
    TSocketNotifyEvent& OnClientWrite;
    TSocketErrorEvent& OnClientError;
};

} // namespace net
