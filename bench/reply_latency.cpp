// How long a time reply takes from the server's send to the clock-set call: 1,000 replies
// on loopback, one after another, each on a connection of its own as the server makes
// them, into the real window with a fake clock setter.
//
//   build/bench/reply_latency [REPLIES]

#include "bench/bench_form.h"
#include "tests/support/loopback_peer.h"

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using testsupport::LocalPortOf;

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int replies = argc > 1 ? std::atoi(argv[1]) : 1000;

    bench::BenchForm bench;
    std::atomic<int> applied{0}; // replies whose clock-set came, for the server to pace itself
    const int port = LocalPortOf(bench.form->clockKeeper->ServerSocket1->Socket()->Descriptor());
    std::vector<Clock::time_point> sentAt(replies);
    // Every reply answers a request under way: one that went out before the first, and waits
    // for its replies as long as the run may take.
    bench.form->clockKeeper->requestSentAt = Clock::now();
    bench.form->clockKeeper->replyDeadline = std::chrono::minutes(2);

    std::thread server([&] {
        for (int i = 0; i < replies; ++i) {
            testsupport::LoopbackPeer reply = testsupport::LoopbackPeer::ConnectedTo(port);
            sentAt[i] = Clock::now();
            reply.Send("{TAVRIN_1,0,2,00421211371200}");
            reply.FinishSending();
            while (applied.load() <= i) // one at a time, as a server answers
                std::this_thread::yield();
        }
    });
    // The main loop as the program runs it: asleep until the next event.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (applied.load() < replies && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        applied.store(static_cast<int>(bench.clockSetter.set.size()));
    }
    const bool done = applied.load() == replies;
    server.join();
    if (!done) {
        std::fprintf(stderr, "only %d of %d replies arrived\n", applied.load(), replies);
        return 1;
    }

    std::vector<double> latency;
    for (int i = 0; i < replies; ++i)
        latency.push_back(Microseconds(bench.clockSetter.setAt[i] - sentAt[i]));
    std::sort(latency.begin(), latency.end());
    const auto at = [&](double share) {
        return latency[static_cast<std::size_t>(share * static_cast<double>(latency.size() - 1))];
    };
    std::printf("%d replies, send to clock-set: median %.1f us, 99th percentile %.1f us, max %.1f us\n", replies,
                at(0.5), at(0.99), latency.back());
    return 0;
}
