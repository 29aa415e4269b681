#include "net/inet/stack.h"

#include "net/inet/exceptions.h"
#include "platform/socket_error_numbers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net::inet {
namespace {

// The system's errno would be overwritten by the next call of any kind, so each
// failure is kept until CheckSocketCall asks for it.
thread_local int lastCallError = 0;

// At most this many descriptors per wait, as the counted descriptor sets that the
// program's messages speak of hold.
constexpr std::size_t kWaitSetSize = 64;

platform::SystemLocalAddresses systemAddresses;
platform::LocalAddresses* addressSource = &systemAddresses;

sockaddr_in ToSocketAddress(const std::string& ip, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (!ip.empty()) {
        const platform::Ipv4Address bytes = TIdStack::TextToAddress(ip);
        std::memcpy(&address.sin_addr, bytes.data(), bytes.size());
    }
    return address;
}

SocketAddress FromSocketAddress(const sockaddr_in& address)
{
    platform::Ipv4Address bytes{};
    std::memcpy(bytes.data(), &address.sin_addr, bytes.size());
    return {TIdStack::AddressToText(bytes), ntohs(address.sin_port)};
}

} // namespace

int TIdStack::Recorded(int result)
{
    if (result == -1)
        lastCallError = CodeForErrno(errno);
    return result;
}

platform::UniqueFd TIdStack::NewSocket(int type, int protocol)
{
    // Not inherited by programs the client starts.
    platform::UniqueFd descriptor(Recorded(socket(AF_INET, type | SOCK_CLOEXEC, protocol)));
    if (!descriptor)
        throw EIdInvalidSocket();
    return descriptor;
}

int TIdStack::BindSocket(int descriptor, const std::string& ip, int port)
{
    const sockaddr_in address = ToSocketAddress(ip, port);
    return Recorded(bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int TIdStack::SetSocketOption(int descriptor, int level, int name, const void* value, int length)
{
    return Recorded(setsockopt(descriptor, level, name, value, static_cast<socklen_t>(length)));
}

int TIdStack::WaitReadable(std::vector<int>& descriptors, int timeoutMs)
{
    if (descriptors.size() > kWaitSetSize)
        throw EIdStackSetSizeExceeded();
    // poll rather than select: select cannot watch a descriptor numbered beyond its
    // fixed set, however few are watched.
    std::vector<pollfd> watched;
    for (const int descriptor : descriptors)
        watched.push_back({descriptor, POLLIN, 0});
    const int result = Recorded(poll(watched.data(), watched.size(), timeoutMs == -2 ? -1 : timeoutMs));
    descriptors.clear();
    if (result > 0)
        for (const pollfd& entry : watched)
            if (entry.revents & (POLLIN | POLLERR | POLLHUP))
                descriptors.push_back(entry.fd);
    return result;
}

int TIdStack::ReceiveFrom(int descriptor, char* buffer, int length, int flags, SocketAddress& sender)
{
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // With MSG_TRUNC the system reports a datagram's whole length, even when it had to
    // cut it to fit.
    const auto received = recvfrom(descriptor, buffer, static_cast<std::size_t>(std::max(length, 0)), flags | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0)
        return Recorded(-1);
    sender = FromSocketAddress(from);
    if (received > length) {
        lastCallError = platform::WSAEMSGSIZE;
        return -1;
    }
    return static_cast<int>(received);
}

int TIdStack::ShutdownSocket(int descriptor, int how)
{
    return Recorded(shutdown(descriptor, how));
}

int TIdStack::CloseSocketDescriptor(int descriptor)
{
    return Recorded(close(descriptor));
}

SocketAddress TIdStack::LocalName(int descriptor)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    CheckSocketCall(Recorded(getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length)));
    return FromSocketAddress(address);
}

bool TIdStack::CheckSocketCall(int result, std::initializer_list<int> ignoreCodes)
{
    if (result != -1)
        return false;
    const int code = lastCallError;
    stackLastError_ = code;
    if (std::find(ignoreCodes.begin(), ignoreCodes.end(), code) != ignoreCodes.end())
        return true;
    throw EIdSocketError(code);
}

const std::vector<std::string>& TIdStack::LocalAddressList()
{
    localAddressList_.clear();
    std::vector<platform::Ipv4Address> addresses;
    try {
        addresses = addressSource->List();
    } catch (const std::system_error& failure) {
        lastCallError = CodeForErrno(failure.code().value());
        CheckSocketCall(-1);
    }
    for (const platform::Ipv4Address& address : addresses)
        localAddressList_.push_back(AddressToText(address));
    return localAddressList_;
}

std::string TIdStack::FirstLocalAddress()
{
    const std::vector<std::string>& addresses = LocalAddressList();
    if (addresses.empty())
        throw framework::Exception("List index out of bounds (0)");
    return addresses.front();
}

std::unique_ptr<platform::LocalAddressChanges> TIdStack::WatchLocalAddressChanges()
{
    return addressSource->WatchChanges();
}

void TIdStack::UseLocalAddressSource(platform::LocalAddresses* source)
{
    addressSource = source ? source : &systemAddresses;
}

} // namespace net::inet
