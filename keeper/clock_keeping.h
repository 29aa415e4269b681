#pragma once

// Keeping the PC clock from a time code: what the offset estimate (offset_estimate.h) calls
// for, the optional step limit, and the words for what came of it in the window, the
// tray's tip and the log.

#include "keeper/offset_estimate.h"
#include "platform/civil_time.h"
#include "platform/clock_setter.h"
#include "platform/local_clock.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace keeper {

// How long after a request went out its replies may arrive and still set the clock: the
// longest round trip an exchange may take, from the request's send to the kernel's receipt
// of the reply (not to when the program got round to reading it). A server answers within
// milliseconds; a frame that took longer was held back on its way, and one at any other time
// was not asked for. Either may recolour the badge but never moves the clock.
inline constexpr std::chrono::seconds kReplyDeadline{5};

// One time code against the PC's clock, and what was done about it.
struct ClockUpdate {
    std::int64_t serverSecond = 0;
    platform::UtcTime pcTime; // the PC's clock as it read when the code's frame arrived
    Estimate estimate{};      // the offset as known with this code
    Correction correction;    // what the estimate called for
    bool slewing = false;     // a slew under way goes on: it was called for before
    platform::ClockSetResult result{platform::ClockSetResult::Outcome::NotNeeded, {}};
    std::uint32_t maxStepSeconds = 0; // the limit in force; 0: none

    // A step would span more than the limit.
    bool ExceedsStepLimit() const;
};

// Where the words of a report come from besides the update itself.
struct ClockUpdateContext {
    std::string server; // the server's address as configured
    int source = 0;     // the time code's source digit
    int state = 0;      // its sync state digit
};

// Panel 1 after a failed update: "Clock not set: no permission (see README)".
std::string ClockNotSetPanelText(const ClockUpdate& update);

// The offset and its bound in a few characters: "+12 ms ± 4 ms", "-3.7 s ± 0.5 s".
std::string OffsetText(const Estimate& estimate);

// The tip's line: "Last update 12:00:05: offset +12 ms ± 4 ms" (being slewed away: ", slewing"),
// "Last update 12:00:05: clock stepped by -3.7 s (± 4 ms)", "Clock not set: no
// permission". `localNow` is the PC's local time once the update is done.
std::string ClockTipLine(const ClockUpdate& update, const platform::CivilTime& localNow);

// The log's line, with the PC's time in UTC, the offset and its bound, and the server's
// address, source and state.
std::string ClockLogLine(const ClockUpdate& update, const ClockUpdateContext& context);

} // namespace keeper
