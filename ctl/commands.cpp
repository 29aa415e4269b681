#include "ctl/commands.h"

#include "ctl/exit_status.h"
#include "ctl/status_json.h"
#include "ctl/status_text.h"
#include "platform/escaped_text.h"

using platform::EscapedText;

namespace ctl {
namespace {

using Action = CommandLine::Action;

// Whatever the service or the bus said is escaped, so that it can neither reach the
// terminal as a control sequence nor forge a line.
CommandOutcome Error(int exitStatus, const std::string& text)
{
    return {exitStatus, {}, "tavrinctl: " + EscapedText(text) + "\n"};
}

CommandOutcome Failure(const BusFailure& failure)
{
    return Error(ExitStatusFor(failure), FailureText(failure));
}

CommandOutcome Status(ServiceCalls& service, bool json, std::uint64_t nowUsec)
{
    const auto reading = service.ReadStatus();
    if (const auto* failure = std::get_if<BusFailure>(&reading))
        return Failure(*failure);
    const auto& status = std::get<ServiceStatus>(reading);
    return {kDone, json ? StatusJson(status, nowUsec) : StatusText(status, nowUsec), {}};
}

// The service answers Update once its request is done, so the state read after it tells
// how the request went.
CommandOutcome Update(ServiceCalls& service)
{
    if (const auto failure = service.Update())
        return Failure(*failure);
    const auto reading = service.ReadStatus();
    if (const auto* failure = std::get_if<BusFailure>(&reading))
        return Failure(*failure);
    const auto& status = std::get<ServiceStatus>(reading);
    if (status.server.empty())
        return Error(kFailed, "no server is set: tavrinctl set-server ADDRESS");
    if (status.failing)
        return Error(kFailed, "the update from " + status.server + " failed: " + status.lastResult);
    return {kDone, EscapedText(status.server + ": " + status.lastResult) + "\n", {}};
}

CommandOutcome SetServer(ServiceCalls& service, const std::string& address, bool interactive)
{
    if (const auto failure = service.SetServer(address, interactive)) {
        if (failure->kind == BusFailure::Kind::Refused)
            return Error(kFailed, "the service refused '" + address + "': " + failure->message);
        return Failure(*failure);
    }
    return {kDone, "The service asks " + EscapedText(address) + " from now on.\n", {}};
}

CommandOutcome Check(ServiceCalls& service, const CheckLimits& limits, std::uint64_t nowUsec)
{
    const auto reading = service.ReadStatus();
    const CheckResult result = std::holds_alternative<BusFailure>(reading)
                                 ? CheckFailure(std::get<BusFailure>(reading))
                                 : CheckService(std::get<ServiceStatus>(reading), limits, nowUsec);
    return {static_cast<int>(result.status), result.line + "\n", {}};
}

} // namespace

CommandOutcome RunCommand(const CommandLine& command, ServiceCalls& service, const Circumstances& circumstances)
{
    switch (command.action) {
    case Action::Help:
        return {kDone, HelpText(), {}};
    case Action::Version:
        return {kDone, VersionText(), {}};
    case Action::UsageError:
        if (command.forCheck) {
            const CheckResult result = CheckUsageError(command.error);
            return {static_cast<int>(result.status), result.line + "\n", {}};
        }
        return Error(kUsage, command.error + " (try --help)");
    case Action::Status:
        return Status(service, command.json, circumstances.nowUsec);
    case Action::Update:
        return Update(service);
    case Action::SetServer:
        return SetServer(service, command.address, circumstances.onTerminal);
    case Action::Check:
        return Check(service, command.limits, circumstances.nowUsec);
    }
    return Error(kUsage, "no command");
}

} // namespace ctl
