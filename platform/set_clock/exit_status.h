#pragma once

// What tavrin-set-clock's exit status means; the client reads it back.

namespace setclock {

enum ExitStatus : int {
    kSet = 0,          // the clock was set
    kNoPermission = 1, // the system refused: EPERM, the process lacks CAP_SYS_TIME
    kBadArguments = 2, // not exactly one decimal count; nothing was tried
    kOutOfRange = 3,   // before the program's build date or after 2200-01-01; nothing was tried
    kRefused = 4,      // the system refused for another reason, named on standard error
};

} // namespace setclock
