// Feeds arbitrary reads to the window's time-reply handling. Besides the sanitizers'
// findings, it stops on a clock set to a second that no local clock can show.

#include "app/main_form.h"
#include "framework/application.h"
#include "net/inet/stack.h"
#include "platform/clock_setter.h"
#include "platform/local_time.h"
#include "tests/support/fakes.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

class CheckingClockSetter final : public platform::ClockSetter {
public:
    void SetClock(std::int64_t secondsSince1970) override
    {
        if (!platform::LocalTimeOf(secondsSince1970)) {
            std::fprintf(stderr, "clock set to unmappable count %lld\n", static_cast<long long>(secondsSince1970));
            std::abort();
        }
    }
};

struct Harness {
    testsupport::FakeAlerts alerts;
    framework::TApplication application{alerts};
    testsupport::FakeInstanceLocks locks;
    testsupport::FakeClock clock;
    testsupport::FakeSoundPlayer sound;
    testsupport::FakeTrayIcon tray;
    testsupport::MemoryRegistryHive registry;
    testsupport::FakeLocalAddresses addresses;
    CheckingClockSetter clockSetter;
    std::unique_ptr<TForm1> form;

    Harness()
    {
        TIdStack::UseLocalAddressSource(&addresses);
        form = std::make_unique<TForm1>(FormServices{application, locks, clock, sound, tray, registry, clockSetter});
        form->Timer1->stop();
    }
};

Harness* g_harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication application(*argc, *argv);
    static Harness harness;
    g_harness = &harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TForm1& form = *g_harness->form;
    form.SplitTimeReply(std::string(reinterpret_cast<const char*>(data), size));
    // The badge always shows a look of its table.
    const TColor colour = form.tsStatus->Color();
    if (colour != 0x0000FF && colour != 0x00FFFF && colour != 0x00FF00 && colour != clBtnFace)
        std::abort();
    return 0;
}
