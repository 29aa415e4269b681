#include "ctl/bus_failure.h"

#include "ctl/exit_status.h"

#include <string_view>
#include <utility>

namespace ctl {

using Kind = BusFailure::Kind;

BusFailure FailureFromError(const std::string& name, const std::string& message)
{
    constexpr std::pair<std::string_view, Kind> kKinds[] = {
        {"org.freedesktop.DBus.Error.ServiceUnknown", Kind::NotRunning},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", Kind::NotRunning},
        {"org.freedesktop.DBus.Error.AccessDenied", Kind::NotAllowed},
        {"org.freedesktop.PolicyKit1.Error.NotAuthorized", Kind::NotAllowed},
        {"org.freedesktop.PolicyKit1.Error.Cancelled", Kind::NotAllowed},
        {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", Kind::PasswordNeeded},
        {"org.freedesktop.DBus.Error.InvalidArgs", Kind::Refused},
        // SetServer while a later drop-in of the service's settings names the server.
        {"com.dovetra.TavrinClient1.Error.ServerOverridden", Kind::Refused},
        {"org.freedesktop.DBus.Error.NoReply", Kind::NoAnswer},
        {"org.freedesktop.DBus.Error.Timeout", Kind::NoAnswer},
        {"org.freedesktop.DBus.Error.TimedOut", Kind::NoAnswer},
        {"org.freedesktop.DBus.Error.Disconnected", Kind::NoBus},
        {"org.freedesktop.DBus.Error.NoServer", Kind::NoBus},
    };
    for (const auto& [known, kind] : kKinds) {
        if (name == known)
            return {kind, message};
    }
    return {Kind::Failed, name.empty() ? message : message + " (" + name + ")"};
}

std::string FailureText(const BusFailure& failure)
{
    switch (failure.kind) {
    case Kind::NoBus:
        return failure.message + ": is D-Bus running? systemctl status dbus";
    case Kind::NotRunning:
        return "the service is not running: systemctl start tavrin-clientd";
    case Kind::NotAllowed:
        return "not allowed: " + failure.message + " (ask an administrator, or use sudo)";
    case Kind::PasswordNeeded:
        return "not allowed without a password: run tavrinctl on a terminal, or with sudo";
    case Kind::Refused:
        return "the service refused: " + failure.message;
    case Kind::NoAnswer:
        return failure.message + ": journalctl -u tavrin-clientd may tell why";
    case Kind::Failed:
        break;
    }
    return "the service failed: " + failure.message;
}

int ExitStatusFor(const BusFailure& failure)
{
    switch (failure.kind) {
    case Kind::NoBus:
    case Kind::NotRunning:
        return kUnreachable;
    case Kind::NotAllowed:
    case Kind::PasswordNeeded:
        return kNotAllowed;
    case Kind::NoAnswer:
        return kNoAnswer;
    case Kind::Refused:
    case Kind::Failed:
        break;
    }
    return kFailed;
}

} // namespace ctl
