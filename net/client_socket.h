#pragma once

#include "net/custom_win_socket.h"
#include "net/socket_component.h"

#include <QObject>

#include <memory>

namespace net {

// The client component: one connection at a time to `Address` (a dotted IPv4 address, not
// looked up) or `Host` (looked up first), on `Port`.
//
// Setting Active to true fires OnLookup and, without a host lookup, OnConnecting before it
// returns; OnConnect, or OnError with erConnect, follows from the main loop; a host that
// does not resolve gives OnError with erLookup, and so does one whose lookup gets no answer
// within the socket's lookup patience (WSAETIMEDOUT). Setting Active to true again during
// an attempt drops it and starts anew, so that a changed address need not wait for a
// lookup under way. A failure that OnError consumes leaves the component as it was before
// the attempt. Setting Active to false fires OnDisconnect before it returns; during an
// attempt it does nothing. The peer's
// close is reported with OnDisconnect once the data that came before it has been read.
// Destroying the component closes a connection without OnDisconnect.
class TClientSocket : public TCustomSocket {
public:
    explicit TClientSocket(QObject* owner);
    ~TClientSocket() override;

    TClientWinSocket* Socket() const { return socket_.get(); }
    TClientType ClientType() const { return socket_->ClientType(); }
    void SetClientType(TClientType value) { socket_->SetClientType(value); }

protected:
    void Activate(bool value) override;

private:
    std::unique_ptr<TClientWinSocket> socket_;
};

} // namespace net
