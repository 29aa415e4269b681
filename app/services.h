#pragma once

#include "keeper/clock_keeper.h"

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
};

} // namespace app
