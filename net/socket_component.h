#pragma once

#include "net/custom_win_socket.h"
#include "net/socket_types.h"

#include <QObject>

#include <string>

namespace net {

// A socket component, owned by the form it is placed on (its QObject parent).
//
// Loading: a form that sets a component's stored properties while it builds itself calls
// BeginLoading() before and Loaded() at the end of its construction. In between, setting
// Active only stores the flag, and the other setters never refuse. Loaded() then activates
// the component if Active was stored true, and raises whatever activating raises. A
// component that is never put into loading acts on Active at once.
class TAbstractSocket : public QObject {
public:
    explicit TAbstractSocket(QObject* owner) : QObject(owner) {}

    void BeginLoading() { loading_ = true; }
    virtual void Loaded() { loading_ = false; }
    bool Loading() const { return loading_; }

protected:
    virtual void DispatchEvent(TCustomWinSocket* Socket, TSocketEventKind kind) = 0;
    virtual void DispatchError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode) = 0;
    virtual void Activate(bool value) = 0;

    // Points a socket object's hooks at DispatchEvent and DispatchError.
    void HookUp(TCustomWinSocket& Socket);

private:
    bool loading_ = false;
};

// The properties and events common to the client and server components. `Sender` of each
// event is the component.
class TCustomSocket : public TAbstractSocket {
public:
    using TAbstractSocket::TAbstractSocket;

    // True from OnConnect (or OnListen) until OnDisconnect; only the events change it.
    // Setting it opens or closes the connection, once loading is over.
    bool Active() const { return active_; }
    void SetActive(bool value);

    // Set before activation. A text that differs from the stored one only in the case of
    // its ASCII letters changes nothing; any other change raises while Active is true.
    const std::string& Address() const { return address_; }
    void SetAddress(const std::string& value);
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value);
    int Port() const { return port_; }
    void SetPort(int value);
    const std::string& Service() const { return service_; }
    void SetService(const std::string& value);

    void Loaded() override;

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnListen;
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;

protected:
    void DispatchEvent(TCustomWinSocket* Socket, TSocketEventKind kind) override;
    void DispatchError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode) override;

private:
    void SetText(std::string& field, const std::string& value);
    void CheckChangeAllowed() const;

    bool active_ = false;
    int port_ = 0;
    std::string address_;
    std::string host_;
    std::string service_;
};

} // namespace net
