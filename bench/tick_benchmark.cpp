// Cost of one main tick, the work the program does four times a second for its whole life.
// Run: QT_QPA_PLATFORM=offscreen build/bench/tick_benchmark

#include "app/main_form.h"
#include "framework/application.h"
#include "tests/support/fake_clock_setter.h"
#include "tests/support/fakes.h"

#include <QApplication>

#include <benchmark/benchmark.h>

namespace {

struct Bench {
    testsupport::FakeAlerts alerts;
    framework::TApplication application{alerts};
    testsupport::FakeInstanceLocks locks;
    testsupport::FakeClock clock;
    testsupport::FakeSoundPlayer sound;
    testsupport::FakeTrayIcon tray;
    testsupport::MemoryRegistryHive registry;
    testsupport::FakeClockSetter clockSetter;
    TForm1 form{FormServices{application, locks, clock, sound, tray, registry, clockSetter}};

    Bench()
    {
        form.Timer1->stop();
        clock.Set(12, 34, 0);
        form.Timer1Timer(form.Timer1); // the first tick starts a request; keep it out of the measure
    }
};

void TickWhenOnlyTheSecondsChange(benchmark::State& state)
{
    Bench bench;
    int second = 0;
    for (auto _ : state) {
        bench.clock.now.second = second = (second + 1) % 60;
        bench.form.Timer1Timer(bench.form.Timer1);
    }
}
BENCHMARK(TickWhenOnlyTheSecondsChange);

void TickWhenNothingChanges(benchmark::State& state)
{
    Bench bench;
    for (auto _ : state)
        bench.form.Timer1Timer(bench.form.Timer1);
}
BENCHMARK(TickWhenNothingChanges);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
