#pragma once

#include "net/custom_win_socket.h"
#include "net/socket_types.h"
#include "platform/unique_fd.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace net {

class TServerClientWinSocket;

// The listener: listens on every local address and keeps one connection object for each
// accepted connection, in order of acceptance, until the object is released. It owns them.
//
// Locks: the listener's SocketLock before ListLock; ListLock guards only the list, and no
// handler runs under it. ConnectionCount and Connection read the list without it.
class TServerWinSocket : public TCustomWinSocket {
public:
    explicit TServerWinSocket(platform::UniqueFd socket = {});
    ~TServerWinSocket() override;

    // OnLookup, the port (a service is looked up first), then StartListen: bind, OnListen,
    // listen. A failure closes the socket and is raised to the caller.
    void OpenListener(const std::string& Service, int Port, int backlog);
    // Accepts one pending connection: OnClientConnect (from the new object), then OnAccept.
    // Out of descriptors, it asks makeRoom and tries once more when room was made;
    // otherwise it drops the connection (see DropForWantOfDescriptors).
    void HandleAccept(int Socket) override;
    // Frees every connection object, the last first, without any event, then closes the
    // listening socket.
    void CloseConnection(int Socket) override;

    int ConnectionCount() const { return static_cast<int>(connections_.size()); }
    // The connection at a 0-based index; raises framework::ListError outside the list.
    TServerClientWinSocket* Connection(int index) const;

    TServerType ServerType() const { return serverType_; }
    // Refused while listening. stThreadBlocking watches no events: it accepts nothing.
    void SetServerType(TServerType value);

    // The connections' events; `Sender` is this listener.
    TGetSocketEvent OnGetSocket;
    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;
    // Asked on the main thread, when an accept fails for want of descriptors, to close a
    // connection of the owner's choosing so that the new one can be taken; returns whether
    // it closed one. Unset, or closing none, the new connection is dropped.
    std::function<bool()> makeRoom;

    // Where the connections report: each connection's hooks lead here.
    void ConnectionEvent(TServerClientWinSocket* Socket, TSocketEventKind kind);
    void ConnectionError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);

protected:
    // The object for an accepted descriptor: OnGetSocket's, or a new connection object.
    virtual TServerClientWinSocket* MakeConnection(platform::UniqueFd Socket);
    virtual void ClientConnect(TServerClientWinSocket* Socket);
    // OnClientDisconnect, then the object is released with the next pass of the loop.
    virtual void ClientDisconnect(TServerClientWinSocket* Socket);
    virtual void ClientRead(TServerClientWinSocket* Socket);
    virtual void ClientWrite(TServerClientWinSocket* Socket);
    virtual void ClientError(TServerClientWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);

private:
    friend class TServerClientWinSocket;
    // A connection left waiting would keep the listener readable and the loop spinning: a
    // descriptor held in reserve makes room to take it and drop it at once. Without that
    // room the listener rests a moment instead.
    void DropForWantOfDescriptors(int Socket, int error);
    // Has the owner close a connection for the one waiting; whether it did.
    bool AskForRoom(int error);
    // Says that the descriptors ran short no longer, if they did.
    void DescriptorsSufficeAgain();
    // Lists a connection under construction, which the list owns from then on.
    void AddConnection(TServerClientWinSocket* Socket);
    // Unlists a connection whose construction failed, without freeing it.
    void ForgetConnection(TServerClientWinSocket* Socket);
    // Unlists a connection and frees it.
    void FreeConnection(TServerClientWinSocket* Socket);
    void FreeConnections();
    std::vector<std::unique_ptr<TServerClientWinSocket>>::iterator FindConnection(const TServerClientWinSocket* Socket);

    TServerType serverType_ = stNonBlocking;
    platform::UniqueFd reserve_; // held while listening
    int dropped_ = 0;            // connections dropped since the descriptors ran out; 0 while they last
    int roomMade_ = 0;           // connections taken in place of others since then; 0 while they last
    std::vector<std::unique_ptr<TServerClientWinSocket>> connections_;
    std::mutex ListLock;
};

// One accepted connection, listed and owned by its listener from construction until
// destruction. Its events go to the listener. Once the data before the peer's close has
// been read, it reports OnClientDisconnect and the listener frees it after what is queued
// for the main thread already; the listener frees what is left when it closes.
class TServerClientWinSocket : public TCustomWinSocket {
public:
    // Takes over the accepted `Socket`, has the listener list it, starts watching and
    // reports OnClientConnect.
    TServerClientWinSocket(platform::UniqueFd Socket, TServerWinSocket* serverWinSocket);

    TServerWinSocket* OwnerServer() const { return ownerServer_; }
    // Has the listener free this object once the notifications already queued have been
    // delivered.
    void ReleaseLater();

protected:
    // A connection whose notification carried an error is of no further use: after the
    // error is reported it is closed (one OnClientDisconnect) and released.
    void ErrorNotified(int Socket, int event) override;
    void DeferredFree() override;

private:
    TServerWinSocket* ownerServer_;
};

} // namespace net
