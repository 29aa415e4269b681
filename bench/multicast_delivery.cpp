// The highest steady rate at which the multicast listener hands every one of 10,000
// datagrams to its handler on the main thread. Rates rise until one loses datagrams,
// then the step between the last clean rate and that one is halved a few times.
//
// Run as root: build/bench/multicast_delivery

#include "bench/multicast_bench_support.h"
#include "tests/support/datagram_sender.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include <sys/prctl.h>

using net::inet::TIdIPMCastClient;

namespace {

constexpr int kBurst = 10000;
constexpr std::size_t kDatagramSize = 64; // a status datagram is a line of a few characters

struct Outcome {
    int rate;
    int delivered;
    int outOfOrder;
    long kernelDrops;
    double sendSeconds;
};

struct Counter {
    std::uint32_t trial = 0;
    int delivered = 0;
    int outOfOrder = 0;
    std::int64_t last = -1;
};

// Sends `kBurst` datagrams numbered 0.. of trial `trial`, each at its own time point.
void SendBurst(std::uint32_t trial, int rate, double& seconds)
{
    prctl(PR_SET_TIMERSLACK, 1UL); // keeps the pace at rates with only microseconds between datagrams
    testsupport::DatagramSender sender;
    char datagram[kDatagramSize] = {};
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / rate);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t number = 0; number < kBurst; ++number) {
        std::this_thread::sleep_until(start + number * period);
        std::memcpy(datagram, &trial, sizeof trial);
        std::memcpy(datagram + sizeof trial, &number, sizeof number);
        sender.Send({datagram, sizeof datagram}, bench::kGroup, bench::kPort);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Outcome RunTrial(Counter& counter, int rate)
{
    counter = Counter{counter.trial + 1};
    const long dropsBefore = bench::ReceiveBufferDrops();
    double seconds = 0;
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SendBurst(counter.trial, rate, seconds);
        sent = true;
    });
    bench::RunEventsUntil([&] { return counter.delivered == kBurst; },
                          [&] { return sent ? counter.delivered : -1L - counter.delivered; },
                          std::chrono::milliseconds(500));
    sender.join();
    return {rate, counter.delivered, counter.outOfOrder, bench::ReceiveBufferDrops() - dropsBefore, seconds};
}

void Print(const Outcome& outcome)
{
    std::printf("%8d/s  delivered %5d of %d  lost %5d  out of order %d  dropped by the kernel %ld  (sent in %.2f s)\n",
                outcome.rate, outcome.delivered, kBurst, kBurst - outcome.delivered, outcome.outOfOrder,
                outcome.kernelDrops, outcome.sendSeconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bench::EnterPrivateNetworkOrExit();
    QCoreApplication application(argc, argv);

    Counter counter;
    TIdIPMCastClient client;
    bench::Listen(client, [&](std::string_view data) {
        std::uint32_t trial = 0;
        std::uint32_t number = 0;
        std::memcpy(&trial, data.data(), sizeof trial);
        std::memcpy(&number, data.data() + sizeof trial, sizeof number);
        if (trial != counter.trial)
            return;
        ++counter.delivered;
        if (number <= counter.last)
            ++counter.outOfOrder;
        counter.last = number;
    });

    std::printf("%d datagrams of %zu bytes per rate, delivered on the main thread\n", kBurst, kDatagramSize);
    int clean = 0;
    int lossy = 0;
    for (const int rate : {1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000}) {
        const Outcome outcome = RunTrial(counter, rate);
        Print(outcome);
        if (outcome.delivered < kBurst) {
            lossy = rate;
            break;
        }
        clean = rate;
    }
    for (int step = 0; lossy && step < 4 && lossy - clean > clean / 20; ++step) {
        const int rate = (clean + lossy) / 2;
        const Outcome outcome = RunTrial(counter, rate);
        Print(outcome);
        (outcome.delivered == kBurst ? clean : lossy) = rate;
    }
    if (lossy)
        std::printf("highest rate without loss: %d datagrams/s (losses at %d/s)\n", clean, lossy);
    else
        std::printf("no loss up to %d datagrams/s\n", clean);
    client.SetActive(false);
    return 0;
}
