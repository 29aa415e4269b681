#pragma once

// tavrin-clientd's command line.

#include <string>
#include <vector>

namespace service {

struct CommandLine {
    enum class Action { Run, Help, Version, UsageError };

    Action action = Action::Run;
    std::string configFile; // replaces the main settings file; empty: the usual one
    std::string configDir;  // replaces the drop-in folder, where SetServer writes too; empty: the usual one
    bool dryRun = false;    // never set the PC clock; print what would be done
    std::string error;      // for UsageError: what was wrong, in one line
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();
std::string VersionText();

} // namespace service
