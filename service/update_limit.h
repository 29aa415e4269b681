#pragma once

// The bus's Update: at most one request every kSpacing, whoever asks. An Update within that
// time of the last request that an Update started joins it rather than start another, so
// that callers in a loop cannot flood the time server. The keeper's own schedule is not
// counted: it is spaced far wider.

#include "platform/boot_clock.h"

#include <chrono>
#include <optional>

namespace service {

class UpdateLimit {
public:
    static constexpr std::chrono::seconds kSpacing{10};

    // Whether an Update at `now` starts a request; false: it joins the last one.
    bool Starts(platform::BootClock::time_point now);

private:
    std::optional<platform::BootClock::time_point> lastStart_;
};

} // namespace service
