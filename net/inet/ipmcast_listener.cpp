#include "net/inet/ipmcast_listener.h"

#include "framework/main_thread.h"
#include "net/inet/ipmcast_client.h"
#include "platform/socket_error_numbers.h"
#include "platform/thread_name.h"

#include <algorithm>
#include <string_view>

#include <sys/socket.h>

namespace net::inet {

TIdIPMCastListenerThread::TIdIPMCastListenerThread(TIdIPMCastClient& owner)
    : ownerClient_(owner),
      receiveBuffer_(static_cast<std::size_t>(std::max(owner.BufferSize, 0))),
      threadedEvent_(owner.ThreadedEvent)
{
}

TIdIPMCastListenerThread::~TIdIPMCastListenerThread()
{
    TerminateAndWaitFor();
}

void TIdIPMCastListenerThread::BeforeExecute()
{
    platform::NameThisThread("mcast listener");
}

void TIdIPMCastListenerThread::WorkStep()
{
    TIdStack& stack = *ProcessStack();
    TIdSocketHandles& bindings = ownerClient_.Bindings();
    std::vector<int> ready;
    for (int i = 0; i < bindings.Count(); ++i)
        ready.push_back(bindings.Items(i).Descriptor());
    // Its count is not needed: `ready` holds what can be read, nothing when the wait failed.
    constexpr int kNoLimit = -2;
    [[maybe_unused]] const int readable = stack.WaitReadable(ready, kNoLimit);

    for (const int descriptor : ready) {
        if (IsHalted())
            return;
        TIdSocketHandle& binding = *bindings.FindByDescriptor(descriptor);
        SocketAddress sender;
        // Without waiting: a datagram that the system reported and then discarded
        // must not hold the thread until the next one comes.
        const int count = stack.ReceiveFrom(descriptor, receiveBuffer_.data(), static_cast<int>(receiveBuffer_.size()),
                                            MSG_DONTWAIT, sender);
        // One bad packet from the network must not silence the listener: a datagram
        // too long for the buffer, or an empty one, is dropped.
        if (stack.CheckSocketCall(count, {platform::WSAEMSGSIZE, platform::WSAEWOULDBLOCK}) || count == 0)
            continue;
        binding.SetSender(sender.IP, sender.Port);
        const std::string_view datagram(receiveBuffer_.data(), static_cast<std::size_t>(count));
        if (threadedEvent_)
            ownerClient_.DeliverDatagram(datagram, binding);
        else
            framework::RunOnMainThread([&] { ownerClient_.DeliverDatagram(datagram, binding); });
    }
}

} // namespace net::inet
