#pragma once

#include "app/services.h"
#include "framework/application.h"
#include "net/inet/stack.h"
#include "tests/support/fake_clock_setter.h"
#include "tests/support/fakes.h"

namespace testsupport {

// Everything the main window takes from outside, faked; while it lives, the window's
// address watch sees the fake addresses instead of the machine's own.
struct FakeServices {
    FakeServices() { net::inet::TIdStack::UseLocalAddressSource(&addresses); }
    ~FakeServices() { net::inet::TIdStack::UseLocalAddressSource(nullptr); }
    FakeServices(const FakeServices&) = delete;
    FakeServices& operator=(const FakeServices&) = delete;

    app::FormServices Services(framework::TApplication& owner)
    {
        return {owner, locks, clock, sound, tray, registry, clockSetter, ports, nullptr, serviceBus, serviceHandOver};
    }
    app::FormServices Services() { return Services(application); }

    FakeAlerts alerts;
    framework::TApplication application{alerts};
    FakeInstanceLocks locks;
    FakeClock clock;
    FakeSoundPlayer sound;
    FakeTrayIcon tray;
    MemoryRegistryHive registry;
    FakeClockSetter clockSetter;
    FakeLocalAddresses addresses; // only loopback: offline
    // Replies on a port of the system's choice, so that windows side by side never meet;
    // requests go to a port nobody listens on unless a test says otherwise.
    keeper::KeeperPorts ports{0, 0};
    std::string serviceBus; // none: no system service is looked for
    std::chrono::milliseconds serviceHandOver = app::ServiceView::kHandOverDelay;
};

} // namespace testsupport
