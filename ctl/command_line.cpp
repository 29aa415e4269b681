#include "ctl/command_line.h"

#include <charconv>
#include <optional>

namespace ctl {
namespace {

using Action = CommandLine::Action;

// Whole seconds: digits only, no sign.
std::optional<std::int64_t> Seconds(const std::string& text)
{
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return std::nullopt;
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

struct Command {
    const char* name;
    Action action;
    bool takesAddress;
};

constexpr Command kCommands[] = {
    {"status", Action::Status, false},
    {"update", Action::Update, false},
    {"set-server", Action::SetServer, true},
    {"check", Action::Check, false},
};

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine result;
    std::string error;
    const auto fail = [&error](std::string text) {
        if (error.empty())
            error = std::move(text);
    };
    std::vector<std::string> words;
    bool version = false, warnGiven = false, critGiven = false, optionsEnded = false;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.empty() || argument.front() != '-' || argument == "-") {
            words.push_back(argument);
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            result.action = Action::Help;
            return result;
        }
        // The two limits, as --warn 900, --warn=900 or -w 900.
        const bool isWarn = argument == "--warn" || argument == "-w" || argument.starts_with("--warn=");
        const bool isCrit = argument == "--crit" || argument == "-c" || argument.starts_with("--crit=");
        if (isWarn || isCrit) {
            const std::string name = isWarn ? "--warn" : "--crit";
            const auto equals = argument.find('=');
            std::optional<std::string> value;
            if (equals != std::string::npos)
                value = argument.substr(equals + 1);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            const std::optional<std::int64_t> seconds = value ? Seconds(*value) : std::nullopt;
            if (!seconds)
                fail(value ? name + " takes whole seconds, not '" + *value + "'" : name + " needs a number of seconds");
            else
                (isWarn ? result.limits.warnSeconds : result.limits.critSeconds) = *seconds;
            (isWarn ? warnGiven : critGiven) = true;
        } else if (argument == "--json") {
            result.json = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--") {
            optionsEnded = true;
        } else {
            fail("unknown option '" + argument + "'");
        }
    }

    const Command* command = &kCommands[0];
    if (!words.empty()) {
        command = nullptr;
        for (const Command& known : kCommands) {
            if (words.front() == known.name)
                command = &known;
        }
    }
    result.forCheck = command && command->action == Action::Check;
    if (!command)
        fail("unknown command '" + words.front() + "'");
    else if (command->takesAddress && (words.size() < 2 || words[1].empty()))
        fail(std::string(command->name) + " needs an address");
    else if (words.size() > (command->takesAddress ? 2u : 1u))
        fail(std::string("too many arguments for ") + command->name + ": '" + words.back() + "'");
    else if (result.json && command->action != Action::Status)
        fail("--json goes with status only");
    else if ((warnGiven || critGiven) && command->action != Action::Check)
        fail(std::string(warnGiven ? "--warn" : "--crit") + " goes with check only");
    else if (result.limits.warnSeconds > result.limits.critSeconds)
        fail("--warn " + std::to_string(result.limits.warnSeconds) + " is over --crit "
             + std::to_string(result.limits.critSeconds));

    if (!error.empty()) {
        result.action = Action::UsageError;
        result.error = error;
    } else if (version) {
        result.action = Action::Version;
    } else {
        result.action = command->action;
        if (command->takesAddress)
            result.address = words[1];
    }
    return result;
}

std::string HelpText()
{
    return "Usage: tavrinctl [OPTION]... [COMMAND]\n"
           "Shows and steers tavrin-clientd, the service that keeps the system clock right from a\n"
           "Tavrin time server.\n"
           "\n"
           "Commands:\n"
           "  status              show the server, its time source and sync state, the last\n"
           "                      update and the clock's offset, the next update (the default)\n"
           "  update              ask the server for the time now, and say what came of it\n"
           "  set-server ADDRESS  ask this server (an IPv4 address or a host name) from now on\n"
           "  check               one line for a monitoring system, by the age of the last\n"
           "                      successful update: exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
           "\n"
           "Options:\n"
           "      --json          status: the state as JSON, for scripts\n"
           "  -w, --warn SECONDS  check: WARNING when the last update is older (default 900)\n"
           "  -c, --crit SECONDS  check: CRITICAL when the last update is older (default 3600)\n"
           "  -h, --help          show this help and exit\n"
           "      --version       show the version and exit\n";
}

std::string VersionText()
{
    return "tavrinctl 2.00\n";
}

} // namespace ctl
