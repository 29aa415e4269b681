#pragma once

// Keeping the PC clock from a time code: whether a step is needed at all, the optional
// step limit, and the words for what came of it in the window, the tray's tip and the log.
// The protocol carries whole seconds, so a PC clock that already reads the server's second
// is right as far as anyone can tell, and stepping it would only make it worse.
//
// The second was the server's when it wrote the frame; by the time the frame arrives it
// may just have turned. A clock that reads a little past the second's end is still
// right: stepping it back to the second's start would put it a second behind.

#include "platform/civil_time.h"
#include "platform/clock_setter.h"
#include "platform/local_clock.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace keeper {

// How far past the end of the server's second a reading still counts as right: room for
// the frame's way from the server's clock to this one.
inline constexpr std::chrono::milliseconds kTransitAllowance{200};

// How far a clock found right, or set, from a whole second may be off either way: the
// second itself and the frame's way.
inline constexpr std::chrono::milliseconds kWholeSecondBound = std::chrono::seconds(1) + kTransitAllowance;

// How long after a request went out its replies may arrive and still set the clock: the
// longest round trip an exchange may take, from the request's send to the kernel's receipt
// of the reply (not to when the program got round to reading it). A server answers within
// milliseconds; a frame that took longer was held back on its way, and one at any other time
// was not asked for. Either may recolour the badge but never moves the clock.
inline constexpr std::chrono::seconds kReplyDeadline{5};

// One time code's second against the PC's clock, and what was done about it.
struct ClockUpdate {
    std::int64_t serverSecond = 0;
    platform::UtcMilliseconds pcTime; // the PC's clock as it read when the code's frame arrived
    platform::ClockSetResult result;
    std::uint32_t maxStepSeconds = 0; // the limit in force; 0: none

    // The PC's time minus the server's second: +300 ms when the PC read S.300.
    std::chrono::milliseconds Offset() const;
    // The PC read the server's second, or just past it: [S, S + 1 s + kTransitAllowance).
    // No step is needed.
    bool PcIsRight() const;
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

// The tip's line: "Last update 12:00:05: clock right (offset +0.3 s)", "Last update
// 12:00:05: clock stepped by +3 s", "Clock not set: no permission". `localNow` is the PC's
// local time once the update is done.
std::string ClockTipLine(const ClockUpdate& update, const platform::CivilTime& localNow);

// The log's line, with the old and the new time in UTC, the offset, and the server's
// address, source and state.
std::string ClockLogLine(const ClockUpdate& update, const ClockUpdateContext& context);

} // namespace keeper
