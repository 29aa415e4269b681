#pragma once

// What went wrong in asking tavrin-clientd, sorted by what the user can do about it, and
// the words and exit status for each.

#include <string>

namespace ctl {

struct BusFailure {
    enum class Kind {
        NoBus,          // no system bus, or it cannot be reached, or does not answer
        NotRunning,     // nobody holds the service's name on the bus
        NotAllowed,     // the service's rules (polkit) refuse it
        PasswordNeeded, // allowed with a password, but nobody could be asked for one
        Refused,        // the service refused the arguments: an address it cannot take, or one
                        // that a setting of the administrator's would override
        NoAnswer,       // no reply within the time allowed
        Failed,         // anything else
    };

    Kind kind = Kind::Failed;
    std::string message; // the service's or the bus's own words
};

// Sorts a D-Bus error by its name; `message` is kept.
BusFailure FailureFromError(const std::string& name, const std::string& message);

// One line, without its break, that says what went wrong and what to do: "the service
// is not running: systemctl start tavrin-clientd".
std::string FailureText(const BusFailure& failure);

// The exit status of exit_status.h for it.
int ExitStatusFor(const BusFailure& failure);

} // namespace ctl
