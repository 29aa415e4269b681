#pragma once

#include "net/inet/component.h"
#include "net/inet/socket_handle.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace net::inet {

class TIdIPMCastListenerThread;

// A listener joined to an IPv4 multicast group: the group and the switch.
class TIdIPMCastBase : public TIdComponent {
public:
    // Joined to the group, or (while loading) meant to be once loaded. A listener that
    // ended on a failure still reads as active until it is switched off.
    bool Active() const;
    // Joins or leaves the group; while loading, only notes the wish. Raises the join's
    // failures (socket, bind, membership), leaving the component closed. Main thread
    // only, and not from the datagram handler.
    void SetActive(bool value);

    const std::string& MulticastGroup() const { return multicastGroup_; }
    // A different valid group leaves the current one first; the new one is not joined
    // by itself. Raises EIdMCastNotValidAddress, changing nothing, for anything but a
    // dotted address from 224.0.0.0 to 239.255.255.255.
    void SetMulticastGroup(const std::string& group);

    // Carries out a write of Active noted while loading.
    void Loaded() override;

    static bool IsMulticastAddress(const std::string& text);

protected:
    explicit TIdIPMCastBase(ComponentStart start);

    virtual bool Joined() const = 0;
    virtual void JoinGroup() = 0;
    virtual void LeaveGroup() = 0;

private:
    std::string multicastGroup_ = "224.0.0.1";
};

// Called for each datagram with the listener as Sender, the datagram's bytes (one whole
// datagram of 1 to BufferSize bytes) and the binding that received it, whose SenderIP
// and SenderPort name the sender. The bytes and the binding belong to the listener:
// read them during the call and keep neither.
using TIPMCastReadEvent = std::function<void(TIdComponent* Sender, std::string_view AData, TIdSocketHandle& ABinding)>;

// Receives the group's datagrams on a thread of its own and hands each one, in the
// order received, to OnIPMCastRead; on the main thread unless ThreadedEvent is set, the
// listener waiting meanwhile. Every datagram sent to the group and port is delivered,
// whoever sent it: telling senders apart is the handler's task.
//
// Joining binds each binding (by default one, on DefaultPort) to the group's address, so
// that only datagrams sent to the group arrive, sharing the port with other listeners of
// the group, and asks for membership on the interface that holds InterfaceAddress (or,
// without one, on the interface the system picks). A binding given a local unicast
// address keeps it. A failed join is logged once, until a join succeeds again. A
// datagram longer than BufferSize or without bytes is dropped and listening goes on.
// Any other failure on the listener thread, an exception from the handler included,
// ends the listening quietly; Active still reads true until it is switched off and on.
class TIdIPMCastClient final : public TIdIPMCastBase {
public:
    explicit TIdIPMCastClient(ComponentStart start = ComponentStart::Ready);
    // Leaves the group; a failure to leave is dropped here.
    ~TIdIPMCastClient() override;

    // Not to be changed while joined.
    TIdSocketHandles& Bindings() { return bindings_; }
    int DefaultPort() const { return bindings_.DefaultPort; }
    void SetDefaultPort(int port) { bindings_.DefaultPort = port; }

    // Read at each join, as is ThreadedEvent.
    int BufferSize = 8192;
    bool ThreadedEvent = false;
    TIPMCastReadEvent OnIPMCastRead;

    // Null while closed; binding 0 once joined; then the binding of the latest datagram.
    TIdSocketHandle* ActiveBinding() const { return activeBinding_; }

    // The dotted address of the interface to join on, such as the address watch finds
    // (TIdIPWatch::CurrentAddress); empty, as it starts, for the interface the system picks,
    // which a network without a default route does not have. Should no interface hold the
    // address when joining, the system picks. A new address while joined leaves and joins
    // anew on its interface, raising the join's failures as SetActive does. Main thread
    // only, and not from the datagram handler.
    const std::string& InterfaceAddress() const { return interfaceAddress_; }
    void SetInterfaceAddress(const std::string& address);

protected:
    bool Joined() const override;
    void JoinGroup() override;
    // Waits for the listener to end (running meanwhile a delivery it had asked for),
    // then leaves the group and closes every socket. A failure to leave is raised after
    // all that, so the component is closed either way; memberships on the interface of
    // InterfaceAddress end with the close alone, and never fail.
    void LeaveGroup() override;

private:
    friend class TIdIPMCastListenerThread;
    void DeliverDatagram(std::string_view datagram, TIdSocketHandle& binding);
    // Opens, binds and joins every binding, or closes them all and raises.
    void OpenBindings();
    // Membership on the interface of joinedOn_, or the one the system picks.
    void ChangeMembership(TIdSocketHandle& binding, int option);
    // On the interface of joinedOn_ while one holds that address; otherwise, from then on,
    // on the one the system picks.
    void AddMembership(TIdSocketHandle& binding);

    TIdSocketHandles bindings_;
    std::string interfaceAddress_;
    std::string joinedOn_;           // the interface address of the memberships held, or empty
    bool joinFailureLogged_ = false; // until a join succeeds
    std::atomic<TIdSocketHandle*> activeBinding_{nullptr};
    std::unique_ptr<TIdIPMCastListenerThread> listenerThread_;
    bool leaving_ = false;
};

} // namespace net::inet
