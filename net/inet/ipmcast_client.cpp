#include "net/inet/ipmcast_client.h"

#include "framework/format.h"
#include "framework/scope_exit.h"
#include "net/inet/exceptions.h"
#include "net/inet/ipmcast_listener.h"
#include "platform/log.h"
#include "platform/socket_error_numbers.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>

namespace net::inet {
namespace {

// The interface of a membership, for the log.
std::string InterfaceText(const std::string& address)
{
    return address.empty() ? "picked by the system" : address;
}

// A failed join in the log's words: a socket error as the system names it, with its number.
std::string FailureText(const std::exception& failure)
{
    const auto* socketError = dynamic_cast<const EIdSocketError*>(&failure);
    if (!socketError)
        return failure.what();
    const int code = socketError->SocketErrorCode();
    const int errnoValue = platform::ErrnoFromWinSockError(code);
    return framework::Format("%s (%d)", std::strerror(errnoValue != 0 ? errnoValue : code), code);
}

} // namespace

TIdIPMCastClient::TIdIPMCastClient(ComponentStart start) : TIdIPMCastBase(start) {}

TIdIPMCastClient::~TIdIPMCastClient()
{
    try {
        LeaveGroup();
    } catch (...) {
        // Closed all the same; nobody is left to tell.
    }
}

bool TIdIPMCastClient::Joined() const
{
    const TIdSocketHandle* binding = activeBinding_;
    return binding && binding->DescriptorOpen();
}

void TIdIPMCastClient::SetInterfaceAddress(const std::string& address)
{
    if (address == interfaceAddress_)
        return;
    interfaceAddress_ = address;
    if (!Joined() || leaving_)
        return;
    try {
        LeaveGroup();
    } catch (const EIdSocketError&) {
        // Closed all the same, which ends the memberships: the join is what counts.
    }
    JoinGroup();
}

void TIdIPMCastClient::ChangeMembership(TIdSocketHandle& binding, int option)
{
    ip_mreq membership{};
    const platform::Ipv4Address group = TIdStack::TextToAddress(MulticastGroup());
    std::memcpy(&membership.imr_multiaddr, group.data(), group.size());
    membership.imr_interface.s_addr = htonl(INADDR_ANY); // the system picks the interface
    if (!joinedOn_.empty()) {
        const platform::Ipv4Address local = TIdStack::TextToAddress(joinedOn_);
        std::memcpy(&membership.imr_interface, local.data(), local.size());
    }
    TIdStack& stack = *ProcessStack();
    stack.CheckSocketCall(
        stack.SetSocketOption(binding.Descriptor(), IPPROTO_IP, option, &membership, sizeof membership));
}

void TIdIPMCastClient::AddMembership(TIdSocketHandle& binding)
{
    try {
        ChangeMembership(binding, IP_ADD_MEMBERSHIP);
    } catch (const EIdSocketError& failure) {
        // No interface holds the address any more: it went after it was told.
        if (joinedOn_.empty() || failure.SocketErrorCode() != ENODEV)
            throw;
        joinedOn_.clear();
        ChangeMembership(binding, IP_ADD_MEMBERSHIP);
    }
}

void TIdIPMCastClient::JoinGroup()
{
    if (activeBinding_)
        return;
    try {
        OpenBindings();
    } catch (const std::exception& failure) {
        if (!std::exchange(joinFailureLogged_, true))
            qCWarning(platform::lcNet, "multicast group %s not joined (interface %s): %s", MulticastGroup().c_str(),
                      InterfaceText(interfaceAddress_).c_str(), FailureText(failure).c_str());
        throw;
    }
    if (std::exchange(joinFailureLogged_, false))
        qCInfo(platform::lcNet, "multicast group %s joined (interface %s)", MulticastGroup().c_str(),
               InterfaceText(joinedOn_).c_str());
    activeBinding_ = &bindings_.Items(0);
    listenerThread_ = std::make_unique<TIdIPMCastListenerThread>(*this);
    listenerThread_->StartThread();
}

void TIdIPMCastClient::OpenBindings()
{
    if (bindings_.Count() == 0) {
        if (DefaultPort() <= 0)
            throw EIdMCastNoBindings();
        bindings_.Add();
    }
    // Closed means closed: no socket keeps the port after a failed join.
    framework::ScopeExit closeAll([this]() noexcept {
        for (int i = 0; i < bindings_.Count(); ++i)
            bindings_.Items(i).CloseDescriptor();
    });
    TIdStack& stack = *ProcessStack();
    joinedOn_ = interfaceAddress_;
    for (int i = 0; i < bindings_.Count(); ++i) {
        TIdSocketHandle& binding = bindings_.Items(i);
        binding.CreateDescriptor(SOCK_DGRAM, 0);
        // Shared, so that every user's copy on a PC hears the group; bound to the group,
        // so that datagrams sent to the port but not to the group never arrive.
        const int share = 1;
        stack.CheckSocketCall(
            stack.SetSocketOption(binding.Descriptor(), SOL_SOCKET, SO_REUSEADDR, &share, sizeof share));
        if (binding.IP.empty() || binding.IP == "0.0.0.0" || IsMulticastAddress(binding.IP))
            binding.IP = MulticastGroup();
        binding.BindLocal();
        AddMembership(binding);
    }
    closeAll.Dismiss();
}

void TIdIPMCastClient::LeaveGroup()
{
    // A call nested in the wait below (through a handler it runs) finds the leave under way.
    if (!activeBinding_ || leaving_)
        return;
    leaving_ = true;
    // The listener goes first, so it never reads a socket being closed or a number
    // that the system has already given to another one.
    listenerThread_->StopThread();
    // Ends the listener's wait for datagrams, which has no time limit: the system wakes a
    // socket's waiters on shutdown even when it answers that the socket is not connected,
    // as a datagram socket never is.
    TIdStack& stack = *ProcessStack();
    for (int i = 0; i < bindings_.Count(); ++i)
        stack.ShutdownSocket(bindings_.Items(i).Descriptor(), SHUT_RD);
    listenerThread_->WaitFor();
    listenerThread_.reset();

    std::exception_ptr failure;
    for (int i = 0; i < bindings_.Count(); ++i) {
        TIdSocketHandle& binding = bindings_.Items(i);
        // A membership made on an interface's address ends with the close, on the interface
        // it was made on: a drop names the interface by its address, and once the address
        // has gone the system forgets the membership but keeps the interface in the group.
        try {
            if (joinedOn_.empty())
                ChangeMembership(binding, IP_DROP_MEMBERSHIP);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
        binding.CloseDescriptor();
    }
    activeBinding_ = nullptr;
    leaving_ = false;
    if (failure)
        std::rethrow_exception(failure);
}

void TIdIPMCastClient::DeliverDatagram(std::string_view datagram, TIdSocketHandle& binding)
{
    activeBinding_ = &binding;
    if (OnIPMCastRead)
        OnIPMCastRead(this, datagram, binding);
}

} // namespace net::inet
