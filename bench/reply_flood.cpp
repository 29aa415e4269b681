// How well the window keeps time while a flood of frames arrives on its reply port from the
// server's own address (say, a program on the same PC as the server): 4 MB of frames on one
// connection, then 4 MB over 1,024 connections of 4 KB each, of 5-byte junk frames and of
// valid frames. Prints the longest gap between two ticks of the window's 250 ms timer, and
// between two turns of the main loop (a 10 ms timer), during each flood.
//
//   build/bench/reply_flood

#include "bench/bench_form.h"
#include "tests/support/loopback_peer.h"

#include <QApplication>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFlood = 4 << 20;

// The longest wait between two timeouts of a timer.
class GapMeter {
public:
    explicit GapMeter(QTimer& timer)
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            const Clock::time_point now = Clock::now();
            if (last_ != Clock::time_point())
                longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    // Negative when the timer did not fire twice.
    double LongestMs() const
    {
        return longest_ == Clock::duration() ? -1 : std::chrono::duration<double, std::milli>(longest_).count();
    }

private:
    Clock::time_point last_;
    Clock::duration longest_{};
};

std::string Repeated(const std::string& frame, std::size_t bytes)
{
    std::string text;
    while (text.size() + frame.size() <= bytes)
        text += frame;
    return text;
}

struct Flood {
    const char* name;
    std::string frame;
    std::size_t perConnection;
    int heldAtOnce = 1; // connections opened first, then all sending together
};

void Measure(const Flood& flood)
{
    bench::BenchForm bench;
    bench.form->Timer1->start();
    QTimer probe;
    probe.start(10);
    const GapMeter ticks(*bench.form->Timer1);
    const GapMeter turns(probe);
    std::atomic<int> accepted = 0;
    bench.form->clockKeeper->ServerSocket1->OnAccept = [&](QObject*, net::TCustomWinSocket*) { ++accepted; };

    const int port = testsupport::LocalPortOf(bench.form->clockKeeper->ServerSocket1->Socket()->Descriptor());
    const std::string bytes = Repeated(flood.frame, flood.perConnection);
    const int connections = static_cast<int>(kFlood / bytes.size());
    std::atomic<bool> sent = false;
    std::thread sender([&] {
        for (int i = 0; i < connections; i += flood.heldAtOnce) {
            std::vector<testsupport::LoopbackPeer> peers;
            for (int j = i; j < std::min(i + flood.heldAtOnce, connections); ++j) {
                // No more waiting in the kernel's queue than a backlog of five holds.
                while (accepted.load() < j - 4)
                    std::this_thread::yield();
                peers.push_back(testsupport::LoopbackPeer::ConnectedTo(port));
            }
            while (accepted.load() < i + static_cast<int>(peers.size()))
                std::this_thread::yield();
            for (testsupport::LoopbackPeer& peer : peers) {
                try {
                    peer.Send(bytes);
                } catch (const std::exception&) {
                    // closed by the window part way: the rest is dropped, as meant
                }
            }
        }
        sent = true;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    while (!sent.load() || bench.form->clockKeeper->ServerSocket1->Socket()->ConnectionCount() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    sender.join();
    std::printf("%-46s %5d connection(s) in %6.2f s: ", flood.name, connections,
                static_cast<double>(elapsed.nsecsElapsed()) / 1e9);
    if (ticks.LongestMs() < 0)
        std::printf("over before the next tick\n");
    else
        std::printf("longest gap between ticks %6.1f ms, between turns %6.1f ms\n", ticks.LongestMs(),
                    turns.LongestMs());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::string junk = "{abc}";
    const std::string valid = "{TAVRIN_1,0,2,00421211371200}";
    for (const Flood& flood : {Flood{"4 MB of 5-byte frames on one connection", junk, kFlood},
                               Flood{"4 MB of 5-byte frames, 4 KB per connection", junk, 4096},
                               Flood{"4 MB of valid frames, 4 KB per connection", valid, 4096},
                               Flood{"4 MB of 5-byte frames, 64 connections at once", junk, 4096, 64}})
        Measure(flood);
    return 0;
}
