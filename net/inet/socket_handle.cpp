#include "net/inet/socket_handle.h"

#include "net/inet/component.h"
#include "net/inet/exceptions.h"
#include "platform/socket_error_numbers.h"

#include <sys/socket.h>

namespace net::inet {

TIdSocketHandle::TIdSocketHandle(int port) : Port(port) {}

TIdSocketHandle::~TIdSocketHandle()
{
    CloseDescriptor();
}

void TIdSocketHandle::ClearAddresses(bool alsoLocal)
{
    // Forgetting an open socket would leak it.
    CloseDescriptor();
    descriptor_ = -1;
    if (alsoLocal) {
        IP.clear();
        Port = 0;
    }
    senderIP_.clear();
    senderPort_ = 0;
}

void TIdSocketHandle::CreateDescriptor(int type, int protocol)
{
    CloseDescriptor();
    socket_ = ProcessStack()->NewSocket(type, protocol);
    descriptor_ = socket_.Get();
}

void TIdSocketHandle::CloseDescriptor() noexcept
{
    // Only once: the number may belong to another socket by now.
    if (!socket_)
        return;
    TIdStack& stack = *ProcessStack();
    // Results not looked at: the socket is gone either way, and nothing waits to be sent
    // on a datagram socket.
    stack.ShutdownSocket(socket_.Get(), SHUT_WR);
    stack.CloseSocketDescriptor(socket_.Release());
}

bool TIdSocketHandle::TryBindOnce()
{
    TIdStack& stack = *ProcessStack();
    if (stack.CheckSocketCall(stack.BindSocket(descriptor_, IP, Port), {platform::WSAEADDRINUSE}))
        return false;
    const SocketAddress bound = stack.LocalName(descriptor_);
    IP = bound.IP;
    Port = bound.Port;
    return true;
}

void TIdSocketHandle::BindLocal()
{
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        if (!TryBindOnce())
            throw EIdCouldNotBindSocket();
        return;
    }
    if (ClientPortMax < ClientPortMin)
        throw EIdInvalidPortRange(ClientPortMin, ClientPortMax);
    for (int port = ClientPortMax; port >= ClientPortMin; --port) {
        Port = port;
        if (TryBindOnce())
            return;
    }
    throw EIdCanNotBindPortInRange(ClientPortMin, ClientPortMax);
}

void TIdSocketHandle::SetSender(const std::string& ip, int port)
{
    senderIP_ = ip;
    senderPort_ = port;
}

TIdSocketHandle& TIdSocketHandles::Add()
{
    return *items_.emplace_back(std::make_unique<TIdSocketHandle>(DefaultPort));
}

TIdSocketHandle* TIdSocketHandles::FindByDescriptor(int descriptor)
{
    for (auto item = items_.rbegin(); item != items_.rend(); ++item)
        if ((*item)->Descriptor() == descriptor)
            return item->get();
    return nullptr;
}

} // namespace net::inet
