#include "net/socket_component.h"

#include <algorithm>

namespace net {
namespace {

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(const std::string& a, const std::string& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

void Fire(const TSocketNotifyEvent& event, QObject* sender, TCustomWinSocket* socket)
{
    if (event)
        event(sender, socket);
}

} // namespace

void TAbstractSocket::HookUp(TCustomWinSocket& Socket)
{
    Socket.SocketEventHook = [this](TCustomWinSocket*, TCustomWinSocket* socket, TSocketEventKind kind) {
        DispatchEvent(socket, kind);
    };
    Socket.ErrorEventHook = [this](TCustomWinSocket*, TCustomWinSocket* socket, TErrorEvent errorEvent,
                                   int& errorCode) { DispatchError(socket, errorEvent, errorCode); };
}

void TCustomSocket::SetActive(bool value)
{
    if (value == active_)
        return;
    if (Loading()) {
        active_ = value;
        return;
    }
    Activate(value);
}

void TCustomSocket::Loaded()
{
    TAbstractSocket::Loaded();
    if (!active_)
        return;
    // The flag follows the events from here on, so a failed activation leaves it false.
    active_ = false;
    Activate(true);
}

void TCustomSocket::CheckChangeAllowed() const
{
    if (active_ && !Loading())
        throw ESocketError(kCantChangeWhileActive);
}

void TCustomSocket::SetText(std::string& field, const std::string& value)
{
    if (SameText(field, value))
        return;
    CheckChangeAllowed();
    field = value;
}

void TCustomSocket::SetAddress(const std::string& value)
{
    SetText(address_, value);
}
void TCustomSocket::SetHost(const std::string& value)
{
    SetText(host_, value);
}
void TCustomSocket::SetService(const std::string& value)
{
    SetText(service_, value);
}

void TCustomSocket::SetPort(int value)
{
    if (value == port_)
        return;
    CheckChangeAllowed();
    port_ = value;
}

void TCustomSocket::DispatchEvent(TCustomWinSocket* Socket, TSocketEventKind kind)
{
    switch (kind) {
    case skLookup:
        Fire(OnLookup, this, Socket);
        break;
    case skConnecting:
        Fire(OnConnecting, this, Socket);
        break;
    case skConnect:
        active_ = true;
        Fire(OnConnect, this, Socket);
        break;
    case skDisconnect:
        active_ = false;
        Fire(OnDisconnect, this, Socket);
        break;
    case skListen:
        active_ = true;
        Fire(OnListen, this, Socket);
        break;
    case skAccept:
        Fire(OnAccept, this, Socket);
        break;
    case skWrite:
        Fire(OnWrite, this, Socket);
        break;
    case skRead:
        Fire(OnRead, this, Socket);
        break;
    }
}

void TCustomSocket::DispatchError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    if (OnError)
        OnError(this, Socket, ErrorEvent, ErrorCode);
}

} // namespace net
