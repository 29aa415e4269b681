// tavrin-time-server: a reference time server for the Tavrin client. See --help.

#include "tools/time-server/server_options.h"
#include "tools/time-server/time_server.h"

#include <sys/signalfd.h>

#include <csignal>
#include <cstdio>

namespace {

// SIGINT and SIGTERM end the loop through a descriptor it polls, so it stops cleanly.
platform::UniqueFd StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Unblocked, they would end the server before the descriptor saw them.
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return {};
    return platform::UniqueFd(signalfd(-1, &signals, SFD_CLOEXEC));
}

int Serve(const timeserver::ServerOptions& options)
{
    const platform::UniqueFd stop = StopSignals();
    if (!stop) {
        std::perror("tavrin-time-server: signalfd");
        return 1;
    }
    try {
        timeserver::TimeServer server(options, stdout);
        std::printf("listening on %s:%u, replying to port %u\n", timeserver::AddressText(options.listenAddress).c_str(),
                    server.ListenPort(), options.replyPort);
        if (options.statusInterval.count() > 0)
            std::printf("status datagrams for 224.0.0.1:%u leave by %s every %.3f s\n", options.groupPort,
                        timeserver::AddressText(options.multicastInterface).c_str(),
                        std::chrono::duration<double>(options.statusInterval).count());
        std::fflush(stdout);
        server.Run(stop.Get());
    } catch (const timeserver::ServerError& error) {
        std::fprintf(stderr, "tavrin-time-server: %s\n", error.what());
        return 1;
    }
    std::printf("stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const timeserver::CommandLine commandLine = timeserver::ParseCommandLine({argv + 1, argv + argc});
    switch (commandLine.action) {
    case timeserver::CommandLine::Action::Help:
        std::fputs(timeserver::HelpText().c_str(), stdout);
        return 0;
    case timeserver::CommandLine::Action::UsageError:
        std::fprintf(stderr, "tavrin-time-server: %s (try --help)\n", commandLine.error.c_str());
        return 2;
    case timeserver::CommandLine::Action::Run:
        break;
    }
    return Serve(commandLine.options);
}
