#pragma once

// Keeps a flood out of the log: a line about an address goes out at most once an interval,
// and the next one tells how many were held back meanwhile. A local user can send from any
// of the 16 million addresses of 127.0.0.0/8, so the addresses remembered are bounded; those
// beyond share one allowance.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace keeper {

class AddressLogLimit {
public:
    using Clock = std::chrono::steady_clock;

    explicit AddressLogLimit(Clock::duration interval = std::chrono::minutes(1), std::size_t addresses = 64);

    struct Line {
        std::size_t heldBack = 0; // lines not logged since the last one let through
        bool othersToo = false;   // the line and count are shared with the addresses the table had no room for

        // What to add to the line: " (3 more refused since the last line)" for `what`
        // "refused"; empty when nothing was held back.
        std::string HeldBackText(const std::string& what) const;
    };
    // Whether a line about `address` may be logged at `now`; none: it is held back and counted.
    std::optional<Line> Allow(const std::string& address, Clock::time_point now = Clock::now());

private:
    struct Entry {
        std::string address;
        std::optional<Clock::time_point> lastLine;
        std::size_t heldBack = 0;
    };
    // Forgets the addresses whose next line would go out at once, with nothing to tell.
    void ForgetQuiet(Clock::time_point now);

    Clock::duration interval_;
    std::size_t capacity_;
    std::vector<Entry> entries_; // a few dozen at most: a scan is cheaper than an index
    Entry others_;               // every address the table has no room for
};

} // namespace keeper
