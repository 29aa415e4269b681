#pragma once

// tavrinctl's commands, carried out against the service: what each prints, where, and
// with which exit status (exit_status.h; check's from check.h).

#include "ctl/command_line.h"
#include "ctl/service_calls.h"

#include <cstdint>
#include <string>

namespace ctl {

struct CommandOutcome {
    int exitStatus = 0;
    std::string output; // for standard output
    std::string errors; // for standard error: "tavrinctl: ..." lines
};

struct Circumstances {
    std::uint64_t nowUsec = 0; // the PC's time, microseconds since 1970 UTC
    bool onTerminal = false;   // a person may answer a password prompt
};

// Help, Version and UsageError included; `service` is asked only when the command needs it.
CommandOutcome RunCommand(const CommandLine& command, ServiceCalls& service, const Circumstances& circumstances);

} // namespace ctl
