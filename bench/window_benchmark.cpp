// Cost of one main tick, the work the program does four times a second for its whole life,
// and of applying a time reply. Run: build/bench/tick_benchmark

#include "bench/bench_form.h"
#include "platform/local_clock.h"

#include <QApplication>

#include <benchmark/benchmark.h>

namespace {

void TickWhenOnlyTheSecondsChange(benchmark::State& state)
{
    bench::BenchForm bench;
    int second = 0;
    for (auto _ : state) {
        bench.clock.now.second = second = (second + 1) % 60;
        bench.form->Timer1Timer(bench.form->Timer1);
    }
}
BENCHMARK(TickWhenOnlyTheSecondsChange);

// A reply of two frames, each applied with its extra tick; the clock setter is a fake.
void TimeReplyPerFrame(benchmark::State& state)
{
    bench::BenchForm bench;
    const std::string read = "{TAVRIN_1,0,2,00421211371200}{TAVRIN_3,0,1,00431211371260}";
    keeper::ClockKeeper& keeper = *bench.form->clockKeeper;
    for (auto _ : state) {
        keeper.requestSentAt = std::chrono::steady_clock::now(); // answers a request of ours
        keeper.SplitTimeReply(read);
        bench.clockSetter.set.clear();
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(TimeReplyPerFrame);

void TickWhenNothingChanges(benchmark::State& state)
{
    bench::BenchForm bench;
    for (auto _ : state)
        bench.form->Timer1Timer(bench.form->Timer1);
}
BENCHMARK(TickWhenNothingChanges);

// The tick's read of the real clock, time zone check included (the benchmarks above use
// a fake clock).
void ReadLocalClock(benchmark::State& state)
{
    const platform::SystemLocalClock clock;
    for (auto _ : state)
        benchmark::DoNotOptimize(clock.Now());
}
BENCHMARK(ReadLocalClock);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "tavrin.*=false"); // a line per clock step is not what is measured
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
