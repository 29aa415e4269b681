#include "net/host_lookup.h"

#include "net/socket_errors.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace net {
namespace {

std::mutex resolverMutex;
HostResolver currentResolver;

LookupResult ResolveWithSystem(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0)
        return {WinSockErrorFromLookup(status, errno), 0};
    LookupResult result;
    result.value = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return result;
}

HostResolver InstalledResolver()
{
    std::lock_guard lock(resolverMutex);
    return currentResolver;
}

LookupResult ResolveService(const std::string& service)
{
    servent entry{};
    servent* found = nullptr;
    std::array<char, 1024> buffer{};
    // Its result tells no more than `found` does.
    [[maybe_unused]] const int result =
        getservbyname_r(service.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found);
    if (!found)
        return {WSAHOST_NOT_FOUND, 0};
    return {0, ntohs(static_cast<std::uint16_t>(found->s_port))};
}

// The lookup threads of the process (see host_lookup.h). Each shares with its entry here
// only the flag it raises once its reply has returned.
class LookupThreads {
public:
    static LookupThreads& Instance()
    {
        static LookupThreads threads;
        return threads;
    }

    ~LookupThreads()
    {
        const std::lock_guard lock(mutex_);
        for (Lookup& lookup : lookups_) {
            if (lookup.finished->load())
                lookup.thread.join();
            else
                lookup.thread.detach(); // let go: it may wait on the resolver for long
        }
    }

    void Start(std::function<LookupResult()> resolve, LookupReply reply)
    {
        const std::lock_guard lock(mutex_);
        JoinFinished();
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([finished, resolve = std::move(resolve), reply = std::move(reply)] {
            reply(resolve());
            *finished = true;
        });
        lookups_.push_back({std::move(thread), std::move(finished)});
    }

    int Pending()
    {
        const std::lock_guard lock(mutex_);
        int pending = 0;
        for (const Lookup& lookup : lookups_)
            pending += lookup.finished->load() ? 0 : 1;
        return pending;
    }

private:
    struct Lookup {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    // The threads that raised their flag have nothing left but to return.
    void JoinFinished()
    {
        std::erase_if(lookups_, [](Lookup& lookup) {
            if (!lookup.finished->load())
                return false;
            lookup.thread.join();
            return true;
        });
    }

    std::mutex mutex_;
    std::vector<Lookup> lookups_;
};

} // namespace

void StartHostLookup(std::string host, LookupReply reply)
{
    LookupThreads::Instance().Start(
        [host = std::move(host), resolver = InstalledResolver()] {
            return resolver ? resolver(host) : ResolveWithSystem(host);
        },
        std::move(reply));
}

void StartServiceLookup(std::string service, LookupReply reply)
{
    LookupThreads::Instance().Start([service = std::move(service)] { return ResolveService(service); },
                                    std::move(reply));
}

int PendingLookups()
{
    return LookupThreads::Instance().Pending();
}

void SetHostResolver(HostResolver resolver)
{
    std::lock_guard lock(resolverMutex);
    currentResolver = std::move(resolver);
}

} // namespace net
