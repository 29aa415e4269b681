#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until `done()` holds or `timeout` passes; returns `done()`.
bool ProcessEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for `duration`.
void ProcessEventsFor(std::chrono::milliseconds duration);

} // namespace testsupport
