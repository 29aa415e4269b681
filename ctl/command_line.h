#pragma once

// tavrinctl's command line: a command (status when none is given) and its options, which
// may stand before or after it.

#include "ctl/check.h"

#include <string>
#include <vector>

namespace ctl {

struct CommandLine {
    enum class Action { Status, Update, SetServer, Check, Help, Version, UsageError };

    Action action = Action::Status;
    bool json = false;   // status --json
    std::string address; // set-server ADDRESS
    CheckLimits limits;  // check --warn, --crit
    // For UsageError: what was wrong, in one line, and whether the command was check,
    // which answers a wrong command line as a monitoring plugin does.
    std::string error;
    bool forCheck = false;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();
std::string VersionText();

} // namespace ctl
