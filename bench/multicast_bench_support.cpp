#include "bench/multicast_bench_support.h"

#include "tests/support/private_network.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace bench {
namespace {

// A named field of /proc/self/status, in KiB.
long StatusKiB(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

} // namespace

void Listen(net::inet::TIdIPMCastClient& client, std::function<void(std::string_view)> received)
{
    client.SetDefaultPort(kPort);
    client.OnIPMCastRead = [received = std::move(received)](net::inet::TIdComponent*, std::string_view data,
                                                            net::inet::TIdSocketHandle&) { received(data); };
    client.SetActive(true);
}

void EnterPrivateNetworkOrExit()
{
    if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty()) {
        std::fprintf(stderr, "%s (run as root)\n", why.c_str());
        std::exit(2);
    }
}

long ReceiveBufferDrops()
{
    // Two "Udp:" lines: the field names, then their values.
    std::ifstream snmp("/proc/net/snmp");
    std::string line;
    std::vector<std::string> names;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream fields(line.substr(4));
        std::vector<std::string> row;
        for (std::string field; fields >> field;)
            row.push_back(field);
        if (names.empty()) {
            names = row;
            continue;
        }
        for (std::size_t i = 0; i < names.size() && i < row.size(); ++i)
            if (names[i] == "RcvbufErrors")
                return std::stol(row[i]);
    }
    return -1;
}

long ResidentKiB()
{
    return StatusKiB("VmRSS");
}

long PeakResidentKiB()
{
    return StatusKiB("VmHWM");
}

bool RunEventsUntil(const std::function<bool()>& done, const std::function<long()>& progress,
                    std::chrono::milliseconds quiet)
{
    // A tick, so that the blocking wait for events looks at the clock now and then.
    QTimer tick;
    tick.start(20);
    auto lastChange = std::chrono::steady_clock::now();
    long seen = progress();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const auto now = std::chrono::steady_clock::now();
        if (const long current = progress(); current != seen) {
            seen = current;
            lastChange = now;
        } else if (now - lastChange > quiet) {
            return false;
        }
    }
    return true;
}

} // namespace bench
