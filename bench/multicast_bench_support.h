#pragma once

// What the multicast benchmarks share: a listener on 224.0.0.1:6649 inside a network
// namespace of the benchmark's own, the kernel's count of datagrams it dropped for want
// of buffer room, and the process's resident memory.

#include "net/inet/ipmcast_client.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace bench {

constexpr const char* kGroup = "224.0.0.1";
constexpr int kPort = 6649;

// Starts `client` listening on the group's port; each datagram goes to `received`, on
// the main thread.
void Listen(net::inet::TIdIPMCastClient& client, std::function<void(std::string_view)> received);

// Moves into a private network namespace; ends the program with a message when it
// cannot (it needs root).
void EnterPrivateNetworkOrExit();

// Datagrams the namespace's UDP layer dropped because a socket's queue was full.
long ReceiveBufferDrops();

// Resident memory of this process in KiB, now and at its peak.
long ResidentKiB();
long PeakResidentKiB();

// Runs the event loop until `done()` holds, or until `quiet` passes without `progress()`
// changing; returns `done()`.
bool RunEventsUntil(const std::function<bool()>& done, const std::function<long()>& progress,
                    std::chrono::milliseconds quiet);

} // namespace bench
