// tavrin-clientd: the clock keeper as a system service. It reads its settings, keeps the
// clock from boot, tells systemd how it stands, reads its settings again on SIGHUP without
// letting the reply port go, and ends on SIGTERM.

#include "framework/application.h"
#include "platform/alerts.h"
#include "platform/bus_answer_check.h"
#include "platform/clock_setter.h"
#include "platform/journal.h"
#include "platform/local_clock.h"
#include "platform/log.h"
#include "platform/open_file_limit.h"
#include "platform/service_manager.h"
#include "platform/termination_signals.h"
#include "platform/time_synchroniser.h"
#include "service/bus_face.h"
#include "service/clientd_config.h"
#include "service/clock_service.h"
#include "service/command_line.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

namespace {

// Nobody sees a box here: what would have been one is a line of the log.
class LoggedAlerts final : public platform::Alerts {
public:
    void Show(const std::string& caption, const std::string& text, platform::AlertIcon) override
    {
        qCCritical(platform::lcService, "%s: %s", caption.c_str(), text.c_str());
    }
};

int RunService(int argc, char** argv, const service::CommandLine& options)
{
    platform::UseJournalWhenConnected();
    const service::BusFace::SettingsFiles files{
        .mainFile = options.configFile.empty() ? service::kConfigFile : options.configFile,
        .dropInFolder = options.configDir.empty() ? service::kDropInFolder : options.configDir};
    const service::ClientdConfig config = service::ReadClientdConfig(files.mainFile, files.dropInFolder);
    if (!service::LogConfigDiagnostics(config))
        return service::kConfigExitStatus;

    platform::RaiseOpenFileLimit();
    // Qt's own event loop rather than GLib's, which nothing here needs and which costs a
    // quarter of a MiB more; Qt reads this as the application is made.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication qtApplication(argc, argv);
    QCoreApplication::setApplicationName("tavrin-clientd");
    LoggedAlerts alerts;
    framework::TApplication application(alerts);
    application.Title = "tavrin-clientd";

    platform::SystemLocalClock clock;
    platform::SystemClockSetter systemClockSetter;
    platform::DryRunClockSetter dryRunClockSetter(stderr);
    platform::ClockSetter& clockSetter =
        options.dryRun ? static_cast<platform::ClockSetter&>(dryRunClockSetter) : systemClockSetter;
    platform::SystemKernelClockState kernelClock;
    std::unique_ptr<platform::SystemSynchroniserProbe> synchroniserProbe;
    if (!options.dryRun)
        synchroniserProbe =
            std::make_unique<platform::SystemSynchroniserProbe>(platform::SystemBusAddress(), kernelClock);

    platform::ServiceManager manager;
    service::ClockService clockService(keeper::KeeperServices{.clock = clock,
                                                              .clockSetter = clockSetter,
                                                              .ports = {},
                                                              .synchroniserProbe = synchroniserProbe.get(),
                                                              .ownNtpService = true},
                                       manager, config.settings);
    // The clock is kept whether the bus is there or not.
    service::BusFace busFace(clockService, files, platform::SystemBusAddress());
    platform::TerminationSignals terminationSignals(platform::TerminationSignals::Hangup::Reloads);
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, &clockService, [&] {
        qCInfo(platform::lcService, "stopping");
        manager.Stopping();
        QCoreApplication::quit();
    });
    QObject::connect(&terminationSignals, &platform::TerminationSignals::reloadAsked, &clockService,
                     framework::Guarded([&] {
                         manager.Reloading();
                         clockService.Reload(files.mainFile, files.dropInFolder);
                         manager.Ready(clockService.StatusLine());
                     }));
    // The reply port is bound, or known to be held by another program, by now, and the
    // service ends cleanly on a signal from here on.
    manager.Ready(clockService.StatusLine());
    QCoreApplication::exec();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const service::CommandLine options = service::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
    case service::CommandLine::Action::Help:
        std::fputs(service::HelpText().c_str(), stdout);
        return 0;
    case service::CommandLine::Action::Version:
        std::fputs(service::VersionText().c_str(), stdout);
        return 0;
    case service::CommandLine::Action::UsageError:
        std::fprintf(stderr, "tavrin-clientd: %s (try --help)\n", options.error.c_str());
        return 2;
    case service::CommandLine::Action::Run:
        break;
    }
    return RunService(argc, argv, options);
}
