#pragma once

#include "app/service_view.h"
#include "keeper/clock_keeper.h"

#include <chrono>
#include <string>

namespace framework {
class TApplication;
}
namespace platform {
class ClockSetter;
class InstanceLocks;
class LocalClock;
class RegistryHive;
class SoundPlayer;
class SynchroniserProbe;
class TrayIcon;
}

namespace app {

// What the main window needs from outside itself; tests hand in fakes.
struct FormServices {
    framework::TApplication& application;
    platform::InstanceLocks& instanceLocks;
    platform::LocalClock& clock;
    platform::SoundPlayer& sound;
    platform::TrayIcon& tray;
    platform::RegistryHive& registry;
    platform::ClockSetter& clockSetter;
    keeper::KeeperPorts ports = {};
    // Asked whether another program keeps the clock; none: nobody is asked.
    platform::SynchroniserProbe* synchroniserProbe = nullptr;
    // The bus where the system service is looked for: while it runs there, it keeps the
    // clock. Empty: no service is looked for, and the keeper keeps the clock from the start.
    std::string serviceBus = {};
    // How long its name must stay gone before it counts as stopped; tests shorten it.
    std::chrono::milliseconds serviceHandOver = ServiceView::kHandOverDelay;
};

} // namespace app
