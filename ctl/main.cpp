// tavrinctl: the command line of the system service tavrin-clientd. It reads the
// service's state on the system bus, and asks it for an update or another server.

#include "ctl/bus_service_calls.h"
#include "ctl/commands.h"
#include "platform/bus_answer_check.h"

#include <QCoreApplication>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const ctl::CommandLine command = ctl::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    QCoreApplication application(argc, argv);
    ctl::BusServiceCalls service(platform::SystemBusAddress());
    const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    const ctl::CommandOutcome outcome =
        ctl::RunCommand(command, service,
                        {.nowUsec = static_cast<std::uint64_t>(now.time_since_epoch().count()),
                         .onTerminal = isatty(STDIN_FILENO) == 1});
    // A write that fails has nowhere to be told; the exit status still says how the command went.
    std::fputs(outcome.output.c_str(), stdout);
    std::fputs(outcome.errors.c_str(), stderr);
    return outcome.exitStatus;
}
