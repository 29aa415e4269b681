#pragma once

#include <string>
#include <vector>

namespace app {

struct CommandLine {
    enum class Action { Run, Help, Version, UsageError };

    Action action = Action::Run;
    bool dryRun = false;     // never set the PC clock
    bool showWindow = false; // show the window at start instead of only the tray icon
    std::string error;       // for UsageError: what was wrong, in one line
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();
std::string VersionText();

} // namespace app
