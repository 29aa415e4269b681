#include "app/command_line.h"

namespace app {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine result;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (argument == "--version") {
            result.action = CommandLine::Action::Version;
            return result;
        }
        if (argument == "--dry-run") {
            result.dryRun = true;
        } else if (argument == "--show") {
            result.showWindow = true;
        } else {
            result.action = CommandLine::Action::UsageError;
            result.error = "unknown option '" + argument + "'";
            return result;
        }
    }
    return result;
}

std::string HelpText()
{
    return "Usage: tavrin-client [OPTION]...\n"
           "Keeps the PC clock right from a Tavrin time server and shows it in the tray.\n"
           "\n"
           "  --dry-run   never set the PC clock; print each step or slew it would make\n"
           "  --show      show the window at start, not only the tray icon\n"
           "  --help      show this help and exit\n"
           "  --version   show the version and exit\n";
}

std::string VersionText()
{
    return "Tavrin Client 2.00\n";
}

} // namespace app
