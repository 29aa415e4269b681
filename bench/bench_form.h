#pragma once

// The main window over fake platform services, for measuring its handlers.

#include "app/main_form.h"
#include "framework/application.h"
#include "net/inet/stack.h"
#include "tests/support/fake_clock_setter.h"
#include "tests/support/fakes.h"

namespace bench {

template <typename ClockSetter = testsupport::FakeClockSetter>
struct BenchForm {
    testsupport::FakeAlerts alerts;
    framework::TApplication application{alerts};
    testsupport::FakeInstanceLocks locks;
    testsupport::FakeClock clock;
    testsupport::FakeSoundPlayer sound;
    testsupport::FakeTrayIcon tray;
    testsupport::MemoryRegistryHive registry;
    testsupport::FakeLocalAddresses addresses; // offline: no multicast listener
    ClockSetter clockSetter;
    std::unique_ptr<TForm1> form;

    // Replies on a port of the system's choice; its timers stopped, so that only what is
    // measured runs; the first tick's request out of the way.
    BenchForm()
    {
        TIdStack::UseLocalAddressSource(&addresses);
        form = std::make_unique<TForm1>(
            FormServices{application, locks, clock, sound, tray, registry, clockSetter, ClientPorts{0, 0}});
        form->Timer1->stop();
        clock.Set(12, 34, 0);
        form->Timer1Timer(form->Timer1);
        form->LocalGroupTimer->SetEnabled(false);
    }
    ~BenchForm()
    {
        form.reset();
        TIdStack::UseLocalAddressSource(nullptr);
    }
};

} // namespace bench
