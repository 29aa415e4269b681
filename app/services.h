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

namespace app {

// Where the window meets its time server; tests move the two TCP ports aside.
struct ClientPorts {
    int request = 6645; // the server's port for request messages
    int reply = 6646;   // this client's port for time replies
};

// What the main window needs from outside itself; tests hand in fakes.
struct FormServices {
    framework::TApplication& application;
    platform::InstanceLocks& instanceLocks;
    platform::LocalClock& clock;
    platform::SoundPlayer& sound;
    platform::TrayIcon& tray;
    platform::RegistryHive& registry;
    platform::ClockSetter& clockSetter;
    ClientPorts ports = {};
};

} // namespace app
