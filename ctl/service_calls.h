#pragma once

// What tavrinctl asks of tavrin-clientd: its state, an update, another server. An
// interface, so that the commands can be tried against a fake; bus_service_calls.h is
// the real one. Every call ends within a bound of its own: none waits forever.

#include "ctl/bus_failure.h"
#include "ctl/service_status.h"

#include <optional>
#include <string>
#include <variant>

namespace ctl {

class ServiceCalls {
public:
    virtual ~ServiceCalls() = default;

    // The properties, all at once.
    virtual std::variant<ServiceStatus, BusFailure> ReadStatus() = 0;
    // Update: one request now. Returns once the service has answered, which it does when
    // the request is done.
    virtual std::optional<BusFailure> Update() = 0;
    // SetServer. `interactive`: the caller's polkit agent may ask for a password.
    virtual std::optional<BusFailure> SetServer(const std::string& address, bool interactive) = 0;
};

} // namespace ctl
