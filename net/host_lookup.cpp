#include "net/host_lookup.h"

#include "net/socket_errors.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

namespace net {
namespace {

std::mutex g_resolverMutex;
THostResolver g_resolver;

TLookupResult ResolveWithSystem(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0)
        return {WinSockErrorFromLookup(status, errno), 0};
    TLookupResult result;
    result.value = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return result;
}

TLookupResult ResolveHost(const std::string& host)
{
    THostResolver resolver;
    {
        std::lock_guard lock(g_resolverMutex);
        resolver = g_resolver;
    }
    return resolver ? resolver(host) : ResolveWithSystem(host);
}

TLookupResult ResolveService(const std::string& service)
{
    servent entry{};
    servent* found = nullptr;
    std::array<char, 1024> buffer{};
    getservbyname_r(service.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found);
    if (!found)
        return {WSAHOST_NOT_FOUND, 0};
    return {0, ntohs(static_cast<std::uint16_t>(found->s_port))};
}

} // namespace

void StartHostLookup(std::string host, TLookupReply reply)
{
    std::thread([host = std::move(host), reply = std::move(reply)] { reply(ResolveHost(host)); }).detach();
}

void StartServiceLookup(std::string service, TLookupReply reply)
{
    std::thread([service = std::move(service), reply = std::move(reply)] { reply(ResolveService(service)); })
        .detach();
}

void SetHostResolver(THostResolver resolver)
{
    std::lock_guard lock(g_resolverMutex);
    g_resolver = std::move(resolver);
}

} // namespace net
