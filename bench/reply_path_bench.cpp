// The reply path: short connections on loopback that each send one 40-byte frame and
// close, accepted, read and released by TServerSocket; and the same work done by a plain
// QTcpServer in the same run, for comparison.
//
//   build/bench/reply_path_bench
//
// "ratio" is TServerSocket's connections per second over QTcpServer's: 1 or more means
// no slower. Both servers share the machine with the load, so the main thread's CPU time
// per connection ("cpu_us/conn") tells their own costs apart more sharply; "cpu_ratio" is
// QTcpServer's over TServerSocket's, again 1 or more for no slower.

#include "bench/bench_main.h"
#include "bench/loopback_load.h"
#include "net/win_socket.h"
#include "tests/support/loopback_peer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

#include <ctime>

using testsupport::LocalPortOf;

namespace {

constexpr int kConnections = 10000;
constexpr auto kRoundTimeout = std::chrono::seconds(30);

struct Round {
    double seconds = 0;
    double cpuSeconds = 0; // of the main thread, which runs the server
    std::string failure;
};

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Drives the load against a listening server and serves until `released()` holds.
template <typename Released>
Round Drive(int port, bench::AcceptGate& gate, const long& bytes, Released released)
{
    QElapsedTimer clock;
    clock.start();
    const double cpuAtStart = ThreadCpuSeconds();
    bench::LoopbackLoad load({port, kConnections, 1, 0}, gate);
    const bool served = bench::ServeUntil(released, kRoundTimeout);
    Round round{static_cast<double>(clock.nsecsElapsed()) / 1e9, ThreadCpuSeconds() - cpuAtStart, load.Join()};
    if (round.failure.empty() && !served)
        round.failure = "not every connection was released";
    if (round.failure.empty() && bytes != static_cast<long>(kConnections * bench::kFrameSize))
        round.failure = "frames were lost";
    return round;
}

Round ServeWithTServerSocket()
{
    net::TServerSocket server(nullptr);
    bench::AcceptGate gate;
    long bytes = 0;
    int disconnected = 0;
    server.OnAccept = [&](QObject*, net::TCustomWinSocket*) { gate.Accepted(); };
    server.OnClientRead = [&](QObject*, net::TCustomWinSocket* socket) {
        bytes += static_cast<long>(socket->ReadText().size());
    };
    server.OnClientDisconnect = [&](QObject*, net::TCustomWinSocket*) { ++disconnected; };
    server.SetActive(true);
    return Drive(LocalPortOf(server.Socket()->Descriptor()), gate, bytes,
                 [&] { return disconnected == kConnections && server.Socket()->ConnectionCount() == 0; });
}

Round ServeWithQTcpServer()
{
    QTcpServer server;
    server.setListenBacklogSize(5);
    bench::AcceptGate gate;
    long bytes = 0;
    int disconnected = 0;
    int alive = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            gate.Accepted();
            ++alive;
            QObject::connect(socket, &QTcpSocket::readyRead, [&bytes, socket] { bytes += socket->readAll().size(); });
            QObject::connect(socket, &QTcpSocket::disconnected, [&disconnected, socket] {
                ++disconnected;
                socket->deleteLater();
            });
            QObject::connect(socket, &QObject::destroyed, [&alive] { --alive; });
        }
    });
    server.listen(QHostAddress::Any, 0);
    return Drive(server.serverPort(), gate, bytes, [&] { return disconnected == kConnections && alive == 0; });
}

void BM_ReplyPath(benchmark::State& state)
{
    double ours = 0;
    double theirs = 0;
    double ourCpu = 0;
    double theirCpu = 0;
    int rounds = 0;
    for (auto _ : state) {
        // Taking turns at going first, so that neither always meets a warmer machine.
        Round tserver;
        Round qtcp;
        if (rounds % 2 == 0) {
            tserver = ServeWithTServerSocket();
            qtcp = ServeWithQTcpServer();
        } else {
            qtcp = ServeWithQTcpServer();
            tserver = ServeWithTServerSocket();
        }
        if (!tserver.failure.empty() || !qtcp.failure.empty()) {
            state.SkipWithError(
                (tserver.failure.empty() ? "QTcpServer: " + qtcp.failure : "TServerSocket: " + tserver.failure)
                    .c_str());
            break;
        }
        state.SetIterationTime(tserver.seconds);
        ours += tserver.seconds;
        theirs += qtcp.seconds;
        ourCpu += tserver.cpuSeconds;
        theirCpu += qtcp.cpuSeconds;
        ++rounds;
    }
    if (rounds == 0)
        return;
    state.counters["TServerSocket_conn/s"] = rounds * kConnections / ours;
    state.counters["QTcpServer_conn/s"] = rounds * kConnections / theirs;
    state.counters["ratio"] = theirs / ours;
    state.counters["TServerSocket_cpu_us/conn"] = ourCpu * 1e6 / (rounds * kConnections);
    state.counters["QTcpServer_cpu_us/conn"] = theirCpu * 1e6 / (rounds * kConnections);
    state.counters["cpu_ratio"] = theirCpu / ourCpu;
    state.counters["errors_displayed"] = bench::ErrorsDisplayed();
}

BENCHMARK(BM_ReplyPath)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

} // namespace
