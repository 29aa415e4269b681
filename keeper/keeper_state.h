#pragma once

// How the keeping of the clock stands, as a whole: what the system service publishes on
// the bus and in its metrics, and what `tavrinctl status` tells. The keeper keeps it up to
// date and tells its face after each change (KeeperFace::StateChanged).

#include "keeper/keeper_face.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace keeper {

struct KeeperState {
    using UtcTime = std::chrono::system_clock::time_point;

    std::string server;     // as configured
    bool reachable = false; // the last attempt reached the server
    // The server's time source and sync state, from the last time code or datagram;
    // nothing while unknown.
    std::optional<int> source;
    std::optional<int> state;
    // The last time the clock was found right or set from the server.
    std::optional<UtcTime> lastUpdate;
    std::chrono::nanoseconds offset{0};     // at that update: the PC's time minus the server's
    std::chrono::nanoseconds errorBound{0}; // how far that offset may be off either way
    std::string lastResult;                 // "Last update 12:00:05: offset +12 ms ± 4 ms"
    bool failing = false;                   // the last result tells of a failure
    std::map<Notice, std::string> notices;  // those standing

    // Since the keeper started.
    std::uint64_t steps = 0;
    std::uint64_t slews = 0;
    std::uint64_t clockNotSet = 0;    // updates refused, failed or over the step limit
    std::uint64_t refusedReplies = 0; // reply connections refused unread
};

} // namespace keeper
