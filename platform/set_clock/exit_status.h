#pragma once

// What tavrin-set-clock's exit status means; the client reads it back.

namespace setclock {

enum ExitStatus : int {
    kSet = 0,          // the clock was set, stepped, slewed or marked synchronised
    kNoPermission = 1, // the system refused: EPERM, the process lacks CAP_SYS_TIME
    kBadArguments = 2, // the arguments were malformed (request.h); nothing was tried
    kOutOfRange = 3,   // outside the bounds of clock_range.h; nothing was tried
    kRefused = 4,      // the system refused for another reason, named on standard error
};

} // namespace setclock
