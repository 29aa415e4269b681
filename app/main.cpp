// The program's entry: one copy per user, which a second start with --show asks for its
// window; the main window created hidden; the loop.

#include "app/command_line.h"
#include "app/main_form.h"
#include "framework/application.h"
#include "framework/exception.h"
#include "platform/bus_answer_check.h"
#include "platform/clock_setter.h"
#include "platform/instance_lock.h"
#include "platform/local_clock.h"
#include "platform/log.h"
#include "platform/message_box_alerts.h"
#include "platform/open_file_limit.h"
#include "platform/registry_hive.h"
#include "platform/session_activation.h"
#include "platform/sound_player.h"
#include "platform/termination_signals.h"
#include "platform/time_synchroniser.h"
#include "platform/tray_icon.h"

#include <QApplication>
#include <QDBusConnection>

#include <chrono>
#include <cstdio>
#include <memory>

using app::CommandLine;
using app::FormServices;
using app::HelpText;
using app::ParseCommandLine;
using app::TForm1;
using app::VersionText;

namespace {

// The program's name on the session bus, as its software-centre entry knows it.
const QString kBusName = QStringLiteral("com.dovetra.TavrinClient");

// Qt meets a missing display with an abort and a long text; the one case sure to fail
// is said plainly instead.
bool NoDisplayToShowOn()
{
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// A second start ends silently, as a start at login must; asked for the window (the menu
// entry), it has the running copy show it first. Without a session bus, or without an
// answer, it ends the same.
int ShowRunningCopy(int argc, char** argv)
{
    constexpr std::chrono::seconds kPatience{2}; // a running copy answers from its loop at once
    const QCoreApplication qtApplication(argc, argv);
    platform::ActivateRunningCopy(QDBusConnection::sessionBus(), kBusName, kPatience);
    return 0;
}

int RunClient(int argc, char** argv, const CommandLine& options)
{
    // Checked before anything touches the display, so that a second copy leaves without
    // a trace even where the first one could not show a window.
    platform::FileInstanceLocks instanceLocks;
    if (!instanceLocks.Acquire("tavrinc"))
        return options.showWindow ? ShowRunningCopy(argc, argv) : 0;
    if (NoDisplayToShowOn()) {
        std::fputs("tavrin-client: no display to show on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                   "start it in a desktop session\n",
                   stderr);
        return 1;
    }

    platform::UseLogFormat();
    platform::RaiseOpenFileLimit();
    QApplication qtApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // the program lives on in the tray
    // The program's id, as its desktop file and window class know it. Qt adds the display
    // name to every window caption that does not end with it: the display name is the
    // window's caption, so that the caption stays exactly as it is.
    QApplication::setApplicationName("tavrin-client");
    QApplication::setApplicationDisplayName("Tavrin Client V2.00");
    QGuiApplication::setDesktopFileName("tavrin-client");
    platform::MessageBoxAlerts alerts;
    framework::TApplication application(alerts);
    application.Title = "Tavrin Client";

    try {
        platform::SystemLocalClock clock;
        platform::CanberraSoundPlayer sound;
        platform::SystemTrayIcon tray(application.Title);
        platform::FileRegistryHive registry;
        platform::SystemClockSetter systemClockSetter;
        platform::DryRunClockSetter dryRunClockSetter;
        platform::ClockSetter& clockSetter =
            options.dryRun ? static_cast<platform::ClockSetter&>(dryRunClockSetter) : systemClockSetter;
        // A dry run never sets the clock, so it fights no other synchroniser.
        platform::SystemKernelClockState kernelClock;
        std::unique_ptr<platform::SystemSynchroniserProbe> synchroniserProbe;
        if (!options.dryRun)
            synchroniserProbe =
                std::make_unique<platform::SystemSynchroniserProbe>(platform::SystemBusAddress(), kernelClock);
        const auto form = std::make_unique<TForm1>(FormServices{.application = application,
                                                                .instanceLocks = instanceLocks,
                                                                .clock = clock,
                                                                .sound = sound,
                                                                .tray = tray,
                                                                .registry = registry,
                                                                .clockSetter = clockSetter,
                                                                .ports = {},
                                                                .synchroniserProbe = synchroniserProbe.get(),
                                                                .serviceBus = platform::SystemBusAddress()});
        platform::TerminationSignals terminationSignals;
        QObject::connect(&terminationSignals, &platform::TerminationSignals::received, form.get(),
                         framework::Guarded([&] { form->Close(); }));
        const platform::ActivationService activation(QDBusConnection::sessionBus(), kBusName,
                                                     [&] { framework::RunGuarded([&] { form->ShowWindow(); }); });
        if (!application.Terminated()) {
            // Without a notification area the hidden window could never be reached; a panel
            // at login may come a moment after the program, and is given that moment.
            constexpr std::chrono::seconds kTrayPatience{3};
            if (options.showWindow)
                form->ShowWindow();
            else
                form->ShowIfNoTrayWithin(kTrayPatience);
        }
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
