// The socket benchmarks run their servers on the main loop of a Qt application, with the
// central error display counting the errors instead of showing boxes.

#include "bench/bench_main.h"

#include "framework/application.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace bench {
namespace {

int errorsDisplayed = 0;

class CountingAlerts final : public platform::Alerts {
public:
    void Show(const std::string&, const std::string&, platform::AlertIcon) override { ++errorsDisplayed; }
};

} // namespace

int ErrorsDisplayed()
{
    return errorsDisplayed;
}

bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    QTimer wake; // bounds each wait, so the deadline is checked even when nothing happens
    wake.start(50);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace bench

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    bench::CountingAlerts alerts;
    framework::TApplication tavrin(alerts);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
