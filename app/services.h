#pragma once

namespace framework {
class TApplication;
}
namespace platform {
class ClockSetter;
class InstanceLocks;
class LocalClock;
class RegistryHive;
class SoundPlayer;
class TrayIcon;
}

// What the main window needs from outside itself; tests hand in fakes.
struct FormServices {
    framework::TApplication& application;
    platform::InstanceLocks& instanceLocks;
    platform::LocalClock& clock;
    platform::SoundPlayer& sound;
    platform::TrayIcon& tray;
    platform::RegistryHive& registry;
    platform::ClockSetter& clockSetter;
};
