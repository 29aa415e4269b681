#pragma once

#include "platform/unique_fd.h"

#include <memory>
#include <string>
#include <vector>

namespace net::inet {

// One socket of a component, with its local address and the sender of the datagram it
// received last. It uses the process's stack, so a component must live while it is open.
class TIdSocketHandle {
public:
    explicit TIdSocketHandle(int port = 0);
    // Closes the socket.
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Local address to bind to: empty means any; after a bind, the address and port
    // the system gave ("0.0.0.0" for any).
    std::string IP;
    int Port = 0;
    // With Port 0 and both set: bind to the highest free port of this range.
    int ClientPortMin = 0;
    int ClientPortMax = 0;

    // The system's descriptor, -1 before the first socket; it keeps its value after
    // the socket is closed.
    int Descriptor() const { return descriptor_; }
    bool DescriptorOpen() const { return static_cast<bool>(socket_); }
    // Dotted address and port of the sender of the last datagram received here.
    const std::string& SenderIP() const { return senderIP_; }
    int SenderPort() const { return senderPort_; }

    // Opens a new socket (closing the one held); raises EIdInvalidSocket.
    void CreateDescriptor(int type, int protocol);
    // Binds to IP and Port, or within the port range; raises EIdCouldNotBindSocket
    // when the address is taken, the range errors for a range, EIdSocketError else.
    void BindLocal();
    // One bind to IP and Port: false when the address is taken, without raising.
    [[nodiscard]] bool TryBindOnce();
    // Ends sending and closes the socket; a closed one is left alone.
    void CloseDescriptor() noexcept;
    // Closes the socket and forgets the sender, and with `alsoLocal` IP and Port too.
    void ClearAddresses(bool alsoLocal);
    void SetSender(const std::string& ip, int port);

private:
    platform::UniqueFd socket_;
    int descriptor_ = -1; // the number of socket_, kept after it is closed
    std::string senderIP_;
    int senderPort_ = 0;
};

// The sockets of one component, which owns them.
class TIdSocketHandles {
public:
    // Port of every binding added from now on.
    int DefaultPort = 0;

    TIdSocketHandle& Add();
    int Count() const { return static_cast<int>(items_.size()); }
    // By 0-based index.
    TIdSocketHandle& Items(int index) { return *items_.at(index); }
    // The binding with this descriptor, the last added first; null when none has it.
    TIdSocketHandle* FindByDescriptor(int descriptor);

private:
    std::vector<std::unique_ptr<TIdSocketHandle>> items_;
};

} // namespace net::inet
