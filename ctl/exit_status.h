#pragma once

// What tavrinctl's exit status means, for scripts; the manual page lists the same. The
// command check answers in the monitoring plugins' statuses instead (check.h).

namespace ctl {

enum ExitStatus : int {
    kDone = 0,        // done, or the state shown
    kFailed = 1,      // the service refused what was asked, or the update it made failed
    kUsage = 2,       // the command line was wrong; nothing was asked
    kUnreachable = 3, // the service is not running, or the system bus does not answer
    kNotAllowed = 4,  // the service (its polkit rules) did not allow it
    kNoAnswer = 5,    // the service did not answer within the time allowed
};

} // namespace ctl
