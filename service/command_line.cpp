#include "service/command_line.h"

#include "service/clientd_config.h"

namespace service {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine result;
    const auto refuse = [&result](std::string error) {
        result.action = CommandLine::Action::UsageError;
        result.error = std::move(error);
        return result;
    };
    // "--name VALUE" or "--name=VALUE", VALUE not empty; false when `argument` is not that option.
    const auto valueOf = [&arguments](std::size_t& i, const std::string& name, std::string& value) {
        const std::string& argument = arguments[i];
        if (argument == name && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
            value = arguments[++i];
            return true;
        }
        if (argument.starts_with(name + "=") && argument.size() > name.size() + 1) {
            value = argument.substr(name.size() + 1);
            return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (argument == "--version")
            result.action = CommandLine::Action::Version;
        else if (argument == "--dry-run")
            result.dryRun = true;
        else if (valueOf(i, "--config", result.configFile) || valueOf(i, "--config-dir", result.configDir)) {
        } else if (argument == "--config" || argument == "--config=")
            return refuse("--config needs a file");
        else if (argument == "--config-dir" || argument == "--config-dir=")
            return refuse("--config-dir needs a folder");
        else
            return refuse("unknown option '" + argument + "'");
    }
    return result;
}

std::string HelpText()
{
    return std::string("Usage: tavrin-clientd [OPTION]...\n"
                       "Keeps the PC clock right from a Tavrin time server, as a system service.\n"
                       "\n"
                       "  --config FILE  read FILE instead of ")
         + kConfigFile
         + ", then the drop-ins\n"
           "  --config-dir DIR\n"
           "                 read the drop-ins from DIR instead of "
         + kDropInFolder
         + ",\n"
           "                 and store a server chosen on the bus there\n"
           "  --dry-run      never set the PC clock; log what would be done\n"
           "  --help         show this help and exit\n"
           "  --version      show the version and exit\n";
}

std::string VersionText()
{
    return "tavrin-clientd 2.00\n";
}

} // namespace service
