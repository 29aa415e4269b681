#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until `done()` holds or `timeout` passes; returns `done()`.
bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for `duration`: for pacing what a test sends, never to wait for
// something to happen or not.
void ProcessEventsFor(std::chrono::milliseconds duration);

// Runs the event loop until it has delivered what it had at hand: what is posted, what the
// watched descriptors report, and what the handlers of those post in turn. A marker posted
// behind the queued events, then behind what they queued, tells when. For showing that
// nothing comes of what has already arrived; false when the loop never got round.
bool ProcessPendingEvents();

} // namespace testsupport
