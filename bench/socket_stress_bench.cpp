// Stress: 1,000 connections on loopback, 100 open at once, a tenth of them reset by the
// peer after sending their frame. Nothing may crash or leak: the open descriptors and the
// resident memory return to where they were after a first, warming run, and every frame of
// a connection that closed cleanly is delivered.
//
//   build/bench/socket_stress_bench

#include "bench/bench_main.h"
#include "bench/loopback_load.h"
#include "bench/process_usage.h"
#include "net/win_socket.h"
#include "tests/support/loopback_peer.h"

#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <map>
#include <set>

using testsupport::LocalPortOf;

namespace {

constexpr int kConnections = 1000;
constexpr int kOpenAtOnce = 100;
constexpr int kResetEvery = 10;
constexpr auto kRunTimeout = std::chrono::seconds(60);
// Growth the allocator may show without a leak; 256 bytes kept per connection would exceed it.
constexpr long kResidentSlackKiB = 256;

struct Outcome {
    std::string failure;
    int cleanFramesLost = 0;
    int framesDelivered = 0;
    int resets = 0;
    double seconds = 0;
};

// One run with the server as the program has it: no error handler, so every reset goes to
// the central display.
Outcome RunStress()
{
    net::TServerSocket server(nullptr);
    bench::AcceptGate gate;
    std::map<net::TCustomWinSocket*, std::string> pending;
    std::set<int> delivered;
    int ended = 0;
    server.OnAccept = [&](QObject*, net::TCustomWinSocket*) { gate.Accepted(); };
    server.OnClientRead = [&](QObject*, net::TCustomWinSocket* socket) {
        std::string& frame = pending[socket];
        frame += socket->ReadText();
        if (frame.size() == bench::kFrameSize)
            delivered.insert(bench::IdOfFrame(frame));
    };
    server.OnClientDisconnect = [&](QObject*, net::TCustomWinSocket* socket) {
        pending.erase(socket);
        ++ended;
    };
    server.SetActive(true);

    const int errorsBefore = bench::ErrorsDisplayed();
    QElapsedTimer clock;
    clock.start();
    bench::LoopbackLoad load({LocalPortOf(server.Socket()->Descriptor()), kConnections, kOpenAtOnce, kResetEvery},
                             gate);
    const bool served = bench::ServeUntil(
        [&] { return ended == kConnections && server.Socket()->ConnectionCount() == 0; }, kRunTimeout);
    Outcome outcome;
    outcome.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    outcome.failure = load.Join();
    if (outcome.failure.empty() && !served)
        outcome.failure = "not every connection was released";
    outcome.framesDelivered = static_cast<int>(delivered.size());
    outcome.resets = bench::ErrorsDisplayed() - errorsBefore;
    for (int id = 0; id < kConnections; ++id)
        if (!load.ResetsConnection(id) && !delivered.count(id))
            ++outcome.cleanFramesLost;
    return outcome;
}

void BM_SocketStress(benchmark::State& state)
{
    RunStress(); // the allocator and the loop settle in a first run
    const int descriptorsBefore = bench::OpenDescriptors();
    const long residentBefore = bench::ResidentKiB();
    Outcome outcome;
    for (auto _ : state) {
        outcome = RunStress();
        state.SetIterationTime(outcome.seconds);
    }
    const int descriptorDelta = bench::OpenDescriptors() - descriptorsBefore;
    const long residentDelta = bench::ResidentKiB() - residentBefore;
    state.counters["frames_delivered"] = outcome.framesDelivered;
    state.counters["clean_frames_lost"] = outcome.cleanFramesLost;
    state.counters["resets_displayed"] = outcome.resets;
    state.counters["descriptor_delta"] = descriptorDelta;
    state.counters["resident_delta_KiB"] = static_cast<double>(residentDelta);
    if (!outcome.failure.empty())
        state.SkipWithError(outcome.failure.c_str());
    else if (outcome.cleanFramesLost > 0)
        state.SkipWithError("frames of clean connections were lost");
    else if (descriptorDelta != 0)
        state.SkipWithError("descriptors leaked");
    else if (residentDelta > kResidentSlackKiB)
        state.SkipWithError("resident memory grew");
}

BENCHMARK(BM_SocketStress)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
