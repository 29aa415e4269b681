// The program's entry: one copy per user, the main window created hidden, the loop.

#include "app/command_line.h"
#include "app/main_form.h"
#include "framework/application.h"
#include "framework/exception.h"
#include "platform/alerts.h"
#include "platform/clock_setter.h"
#include "platform/instance_lock.h"
#include "platform/local_clock.h"
#include "platform/log.h"
#include "platform/open_file_limit.h"
#include "platform/registry_hive.h"
#include "platform/sound_player.h"
#include "platform/termination_signals.h"
#include "platform/tray_icon.h"

#include <QApplication>

#include <cstdio>
#include <memory>

namespace {

int RunClient(int argc, char** argv, const CommandLine& options)
{
    // Checked before anything touches the display, so that a second copy leaves without
    // a trace even where the first one could not show a window.
    platform::FileInstanceLocks instanceLocks;
    if (!instanceLocks.Acquire("tavrinc"))
        return 0;

    platform::UseLogFormat();
    platform::RaiseOpenFileLimit();
    QApplication qtApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // the program lives on in the tray
    platform::MessageBoxAlerts alerts;
    framework::TApplication application(alerts);
    application.Title = "Tavrin Client";

    try {
        platform::SystemLocalClock clock;
        platform::CanberraSoundPlayer sound;
        platform::SystemTrayIcon tray;
        platform::FileRegistryHive registry;
        platform::SystemClockSetter systemClockSetter;
        platform::DryRunClockSetter dryRunClockSetter;
        platform::ClockSetter& clockSetter =
            options.dryRun ? static_cast<platform::ClockSetter&>(dryRunClockSetter) : systemClockSetter;
        const auto form = std::make_unique<TForm1>(
            FormServices{application, instanceLocks, clock, sound, tray, registry, clockSetter});
        platform::TerminationSignals terminationSignals;
        QObject::connect(&terminationSignals, &platform::TerminationSignals::received, form.get(), [&] { form->Close(); });
        // Without a notification area the hidden window could never be reached.
        if ((options.showWindow || !tray.IsAvailable()) && !application.Terminated())
            form->ShowWindow();
        QApplication::exec();
    } catch (const framework::Exception& error) {
        application.MessageBox(error.Message(), application.Title, platform::AlertIcon::Error);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const CommandLine options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
    case CommandLine::Action::Help:
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::fputs(VersionText().c_str(), stdout);
        return 0;
    case CommandLine::Action::UsageError:
        std::fprintf(stderr, "tavrin-client: %s (try --help)\n", options.error.c_str());
        return 2;
    case CommandLine::Action::Run:
        break;
    }
    return RunClient(argc, argv, options);
}
