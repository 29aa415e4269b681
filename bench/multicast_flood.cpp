// A flood of 100,000 datagrams of random sizes from 0 to 9,000 bytes, as fast as the
// sender can: the listener must still deliver afterwards, and its resident memory must
// come back near where it started.
//
// Run as root: build/bench/multicast_flood

#include "bench/multicast_bench_support.h"
#include "tests/support/datagram_sender.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

using net::inet::TIdIPMCastClient;

namespace {

constexpr int kFloodSize = 100000;
constexpr std::size_t kLargest = 9000;
constexpr std::size_t kBufferSize = 8192;

struct Tally {
    long delivered = 0;
    long tooLong = 0; // delivered although longer than the buffer: must stay 0
    long empty = 0;   // delivered without bytes: must stay 0
    bool marker = false;
};

} // namespace

int main(int argc, char** argv)
{
    bench::EnterPrivateNetworkOrExit();
    QCoreApplication application(argc, argv);

    Tally tally;
    TIdIPMCastClient client;
    bench::Listen(client, [&](std::string_view data) {
        ++tally.delivered;
        tally.tooLong += data.size() > kBufferSize;
        tally.empty += data.empty();
        tally.marker = tally.marker || data == "still listening";
    });

    testsupport::DatagramSender sender;
    const std::string filler(kLargest, 'x');
    auto settle = [&] {
        bench::RunEventsUntil([] { return false; }, [&] { return tally.delivered; }, std::chrono::milliseconds(300));
    };

    // Warm up, so that the start figure includes what any delivery needs.
    for (int i = 0; i < 1000; ++i)
        sender.Send(std::string_view(filler).substr(0, 1 + i % kBufferSize), bench::kGroup, bench::kPort);
    settle();
    const long startKiB = bench::ResidentKiB();
    const long dropsBefore = bench::ReceiveBufferDrops();
    tally = {};

    std::mt19937 random(6649);
    std::uniform_int_distribution<std::size_t> sizes(0, kLargest);
    long tooLongSent = 0;
    long emptySent = 0;
    std::atomic<bool> sent{false};
    std::thread flood([&] {
        testsupport::DatagramSender flooder;
        for (int i = 0; i < kFloodSize; ++i) {
            const std::size_t size = sizes(random);
            tooLongSent += size > kBufferSize;
            emptySent += size == 0;
            flooder.Send(std::string_view(filler).substr(0, size), bench::kGroup, bench::kPort);
        }
        sent = true;
    });
    const auto start = std::chrono::steady_clock::now();
    bench::RunEventsUntil([&] { return sent.load(); }, [&] { return tally.delivered; }, std::chrono::seconds(5));
    flood.join();
    settle();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long drops = bench::ReceiveBufferDrops() - dropsBefore;
    const long endKiB = bench::ResidentKiB();

    sender.Send("still listening", bench::kGroup, bench::kPort);
    bench::RunEventsUntil([&] { return tally.marker; }, [&] { return tally.delivered; }, std::chrono::seconds(2));

    std::printf("flood: %d datagrams (%ld longer than %zu bytes, %ld empty) in %.2f s\n", kFloodSize, tooLongSent,
                kBufferSize, emptySent, seconds);
    const long delivered = tally.delivered - tally.marker;
    std::printf("dropped by the kernel for a full queue %ld; of the %ld that reached the socket, delivered %ld and "
                "dropped by the listener as too long or empty %ld\n",
                drops, kFloodSize - drops, delivered, kFloodSize - drops - delivered);
    std::printf("delivered although too long %ld, although empty %ld\n", tally.tooLong, tally.empty);
    std::printf("still delivering afterwards: %s\n", tally.marker ? "yes" : "NO");
    std::printf("resident memory: %ld KiB at the start, %ld KiB after the flood (%+ld KiB), peak %ld KiB\n", startKiB,
                endKiB, endKiB - startKiB, bench::PeakResidentKiB());
    client.SetActive(false);
    return tally.marker && tally.tooLong == 0 && tally.empty == 0 ? 0 : 1;
}
