#pragma once

// The vocabulary shared by the socket objects and the socket components: network event
// bits, event and error kinds, the handler types, the exception and its fixed texts.

#include "framework/exception.h"

#include <QObject>

#include <functional>
#include <string>
#include <utility>

namespace net {

class TCustomWinSocket;
class TServerClientWinSocket;

// Network events, as bits of an event mask and as the one event of a notification.
inline constexpr int FD_READ = 1;
inline constexpr int FD_WRITE = 2;
inline constexpr int FD_ACCEPT = 8;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;
// What a non-blocking client or connection watches.
inline constexpr int kConnectionEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

enum TSocketEventKind {
    skLookup,
    skConnecting,
    skConnect,
    skDisconnect,
    skListen,
    skAccept,
    skWrite,
    skRead,
};

enum TErrorEvent {
    erGeneral,
    erSend,
    erReceive,
    erConnect,
    erDisconnect,
    erAccept,
    erLookup, // a host or service lookup failed
};

enum TClientType { ctNonBlocking, ctBlocking };
enum TServerType { stNonBlocking, stThreadBlocking };

// Where the resolution of the address and then the port of an attempt stands.
enum TResolveStage { rsIdle, rsAddress, rsService };

// Component events. `Sender` is the component, or the listener for the events of the
// connections it accepted.
using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
// `ErrorCode` is a Windows Sockets error number; a handler that sets it to 0 consumes the
// error, any other value lets the socket raise it.
using TSocketErrorEvent =
    std::function<void(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;
// May hand back a connection object for an accepted descriptor; none on entry. The object
// handed back has taken the descriptor over; without one, the listener closes it.
using TGetSocketEvent = std::function<void(QObject* Sender, int Socket, TServerClientWinSocket*& ClientSocket)>;

// How a socket object reports to whoever drives it (a component or a listener).
using SocketEventHandler =
    std::function<void(TCustomWinSocket* Sender, TCustomWinSocket* Socket, TSocketEventKind Kind)>;
using ErrorEventHandler =
    std::function<void(TCustomWinSocket* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

class ESocketError : public framework::Exception {
public:
    explicit ESocketError(std::string message, int errorCode = 0) : Exception(std::move(message)), errorCode_(errorCode)
    {
    }
    // The Windows Sockets error number behind it; 0 for the components' own refusals.
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

inline constexpr const char* kWindowsSocketError = "Windows socket error: %s (%d), on API '%s'";
inline constexpr const char* kAsyncSocketError = "Asynchronous socket error %d";
inline constexpr const char* kCantChangeWhileActive = "Can't change value while socket is active";
inline constexpr const char* kSocketAlreadyOpen = "Socket already open";
inline constexpr const char* kCantCreateSocket = "Can't create new socket";
inline constexpr const char* kNoAddress = "No address specified";
inline constexpr const char* kCannotListenOnOpen = "Can't listen on an open socket";

} // namespace net
