#pragma once

// The socket stack of the internet components: one object per process, over the
// system's socket calls. It turns failed calls into EIdSocketError numbered with the
// Windows Sockets codes of the program's messages, and converts IPv4 addresses between
// their four bytes and dotted text.
//
// The rest of this folder builds on it:
//   component.h       TIdComponent, whose live instances keep the process's stack
//   socket_handle.h   TIdSocketHandle and TIdSocketHandles, a component's sockets
//   thread.h          TIdThread, the worker-thread base
//   ipmcast_client.h  TIdIPMCastClient, the multicast datagram listener
//   ip_watch.h        TIdIPWatch, which tells whether the PC has a network address
//   exceptions.h      the EId exceptions and their messages

#include "platform/local_addresses.h"
#include "platform/unique_fd.h"

#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace net::inet {

// An IPv4 address as dotted text, with a port in host order.
struct SocketAddress {
    std::string IP;
    int Port = 0;
};

// Descriptors are the system's socket descriptors; every address family is IPv4. The
// calls may be made from any thread: a failure is remembered per thread until
// CheckSocketCall looks at it, as the system's errno is.
class TIdStack {
public:
    TIdStack() = default;
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // A new socket of `type` (SOCK_DGRAM …); raises EIdInvalidSocket when none is given.
    [[nodiscard]] platform::UniqueFd NewSocket(int type, int protocol);
    // Binds to `ip` (dotted text; empty means any local address) and `port`.
    [[nodiscard]] int BindSocket(int descriptor, const std::string& ip, int port);
    [[nodiscard]] int SetSocketOption(int descriptor, int level, int name, const void* value, int length);
    // Waits up to `timeoutMs` (-2: without limit) until one of `descriptors` has
    // something to read, then leaves in the list those that have, in order. At most 64
    // descriptors: more raise EIdStackSetSizeExceeded. When the wait itself fails the
    // list is left empty.
    int WaitReadable(std::vector<int>& descriptors, int timeoutMs);
    // Receives one datagram into `buffer`: its length, with the sender in `sender`. A
    // datagram longer than `length` is a failure with code 10040, as the system would
    // otherwise cut it short without a word.
    [[nodiscard]] int ReceiveFrom(int descriptor, char* buffer, int length, int flags, SocketAddress& sender);
    int ShutdownSocket(int descriptor, int how);
    int CloseSocketDescriptor(int descriptor);
    // The local address a socket is bound to; raises EIdSocketError on failure.
    SocketAddress LocalName(int descriptor);

    // For a call's `result`: false when it succeeded (anything but -1). For a failure,
    // true when its code is one of `ignoreCodes`; otherwise raises EIdSocketError.
    bool CheckSocketCall(int result, std::initializer_list<int> ignoreCodes = {});
    // Code of the last failure that CheckSocketCall saw, on any thread.
    int StackLastError() const { return stackLastError_; }

    // The local host's IPv4 addresses as dotted text, outward-facing ones first. A
    // failure to list them raises EIdSocketError. Main thread only.
    const std::vector<std::string>& LocalAddressList();
    // The first of them; raises when there is none.
    std::string FirstLocalAddress();
    // A watch over changes of that list (see platform::LocalAddresses::WatchChanges);
    // null when the list in use has none. Main thread only; the watch may then be used
    // on any one thread.
    std::unique_ptr<platform::LocalAddressChanges> WatchLocalAddressChanges();
    // Where LocalAddressList looks: the system's own list, or `source` (tests put a fake
    // here). Null goes back to the system's.
    static void UseLocalAddressSource(platform::LocalAddresses* source);

    // The four bytes as decimal numbers without leading zeros: "192.168.1.5".
    static std::string AddressToText(const platform::Ipv4Address& address);
    // The reverse, for four integers; raises ConvertError when a part is not one. Only
    // the low byte of each part counts.
    static platform::Ipv4Address TextToAddress(const std::string& text);
    // Four integers from 0 to 255 separated by dots.
    static bool IsDottedQuad(const std::string& text);
    // Takes the text up to the first `delimiter` off `text` and returns it, the
    // delimiter dropped; without one, returns all of `text` and leaves it empty.
    static std::string SplitAtFirst(std::string& text, std::string_view delimiter);
    // "Socket Error # <code>", a line break, and the code's text (empty when unknown).
    static std::string ErrorText(int code);

private:
    // Remembers the failure of a call that gave -1, for this thread.
    static int Recorded(int result);
    // The Windows Sockets code for an errno value; values without one pass through.
    static int CodeForErrno(int errnoValue);

    std::atomic<int> stackLastError_{0};
    std::vector<std::string> localAddressList_;
};

} // namespace net::inet
