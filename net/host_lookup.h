#pragma once

// Host and service names resolved on helper threads, so that the main thread never waits
// on a resolver.
//
// The threads are the process's: each is joined once it has finished, when the next
// lookup starts. A resolver cannot be interrupted, so the program's end never waits for
// one: a thread still resolving then is let go and ends with the process. That is safe
// because a lookup's thread touches nothing but its own inputs and `reply`, which must
// stay usable after its requester is gone (a framework::MainThreadMailbox drops the
// outcome then).

#include <cstdint>
#include <functional>
#include <string>

namespace net {

struct LookupResult {
    int error = 0;           // a Windows Sockets error number; 0 on success
    std::uint32_t value = 0; // the IPv4 address in network byte order, or the port in host order
};

using LookupReply = std::function<void(const LookupResult&)>;

// Resolve on a helper thread of their own and hand the outcome to `reply` there. A host
// gives the first IPv4 address the resolver lists; a service its TCP port. Raise
// std::system_error when no thread can be started.
void StartHostLookup(std::string host, LookupReply reply);
void StartServiceLookup(std::string service, LookupReply reply);

// Lookups whose outcome has not been handed to their reply yet.
int PendingLookups();

// How host names are resolved: by the system's resolver, unless a test installs its own so
// that it can fail a lookup without asking the network. An empty function restores it.
// A lookup resolves with what was installed when it started.
using HostResolver = std::function<LookupResult(const std::string& host)>;
void SetHostResolver(HostResolver resolver);

} // namespace net
