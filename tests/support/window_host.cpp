// The main window over fake services in a process of its own, for tests and benchmarks
// that need a whole process: its descriptor limit, its CPU time, its end on a signal.
//
//   tavrin-window-host [--nofile N] [--silence MS]
//
// --nofile sets both limits of open descriptors; --silence the time a reply connection may
// stay silent. Prints "port P" once its reply port listens on 127.0.0.1 and all other
// addresses, then "echo E" after each read that changed the echo code. The server field
// holds 127.0.0.1. SIGTERM and SIGINT end it as they end the program.

#include "app/main_form.h"
#include "platform/log.h"
#include "platform/termination_signals.h"
#include "tests/support/fake_services.h"
#include "tests/support/loopback_peer.h"

#include <QApplication>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using app::TForm1;
using keeper::ReplyConnectionLimits;

int main(int argc, char** argv)
{
    ReplyConnectionLimits limits;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--nofile") == 0) {
            const rlim_t count = std::strtoul(argv[i + 1], nullptr, 10);
            const rlimit limit{count, count};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                std::perror("setrlimit");
                return 1;
            }
        } else if (std::strcmp(argv[i], "--silence") == 0) {
            limits.silence = std::chrono::milliseconds(std::atoi(argv[i + 1]));
        }
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::UseLogFormat();
    QApplication application(argc, argv);
    testsupport::FakeServices services;
    const auto form = std::make_unique<TForm1>(services.Services());
    keeper::ClockKeeper& keeper = *form->clockKeeper;
    keeper.replyConnections.SetLimits(limits);
    keeper.ServerSocket1->OnClientRead = [&](QObject* sender, net::TCustomWinSocket* socket) {
        const std::int32_t before = keeper.FEchoCode;
        keeper.ServerSocket1ClientRead(sender, socket);
        if (keeper.FEchoCode != before) {
            std::printf("echo %d\n", keeper.FEchoCode);
            std::fflush(stdout);
        }
    };
    platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, form.get(), [&] { form->Close(); });

    std::printf("port %d\n", testsupport::LocalPortOf(keeper.ServerSocket1->Socket()->Descriptor()));
    std::fflush(stdout);
    QApplication::exec();
    return 0;
}
