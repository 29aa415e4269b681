#pragma once

#include <chrono>
#include <functional>

namespace bench {

// How many errors reached the central display so far.
int ErrorsDisplayed();

// Runs the main loop until `done()` holds; false when `timeout` passed first.
bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

} // namespace bench
