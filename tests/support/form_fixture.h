#pragma once

#include "app/main_form.h"
#include "framework/application.h"
#include "net/inet/stack.h"
#include "tests/support/fake_clock_setter.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

// A main window over fake platform services; its timers are stopped so that the test
// drives every tick itself.
class FormTest : public testing::Test {
protected:
    void SetUp() override
    {
        clock.Set(12, 0, 0);
        MakeForm();
    }

    // The window's address watch sees the fake addresses, never the machine's own.
    FormTest() { TIdStack::UseLocalAddressSource(&addresses); }
    ~FormTest() override
    {
        form.reset();
        TIdStack::UseLocalAddressSource(nullptr);
    }

    FormServices Services(framework::TApplication& app)
    {
        return {app, locks, clock, sound, tray, registry, clockSetter, ports};
    }
    FormServices Services() { return Services(application); }

    void MakeForm()
    {
        form = std::make_unique<TForm1>(Services());
        form->Timer1->stop();
    }

    void Tick() { form->Timer1Timer(form->Timer1); }

    FakeAlerts alerts;
    framework::TApplication application{alerts};
    FakeInstanceLocks locks;
    FakeClock clock;
    FakeSoundPlayer sound;
    FakeTrayIcon tray;
    MemoryRegistryHive registry;
    FakeClockSetter clockSetter;
    FakeLocalAddresses addresses;
    // Replies on a port of the system's choice, so that tests running side by side never
    // meet; requests go to a port nobody listens on unless a test says otherwise.
    ClientPorts ports{0, 0};
    std::unique_ptr<TForm1> form;
};

} // namespace testsupport
