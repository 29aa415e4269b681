// The window, in a process of its own at a desktop's limit of 1,024 open files, under
// connections meant to hold its descriptors: 1,100 silent connections from the server's own
// address, then four threads reconnecting as fast as they can. Prints the window's CPU
// share and how long the server's real replies take to be taken meanwhile.
//
//   build/bench/descriptor_pressure

#include "platform/open_file_limit.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process_stats.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::LoopbackPeer;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

class Window {
public:
    Window() : host_({TAVRIN_WINDOW_HOST, "--nofile", "1024"})
    {
        const auto line = host_.ReadLine(10s);
        if (!line || !line->starts_with("port "))
            throw std::runtime_error("the window did not start: " + host_.Errors());
        port_ = std::stoi(line->substr(5));
    }

    int Port() const { return port_; }

    // CPU share of one core over `span`.
    double CpuShare(std::chrono::milliseconds span)
    {
        const auto before = testsupport::CpuTimeOf(host_.Pid());
        std::this_thread::sleep_for(span);
        return 100.0 * static_cast<double>((testsupport::CpuTimeOf(host_.Pid()) - before).count())
             / static_cast<double>(span.count());
    }

    // From the server's connect to the window taking the reply; negative when it never did.
    double ReplyMs()
    {
        const std::string echo = std::to_string(nextEcho_++);
        const Clock::time_point start = Clock::now();
        {
            LoopbackPeer reply = LoopbackPeer::ConnectedTo(port_);
            reply.Send("{TAVRIN_1,0,2," + echo + "1211371200}");
        }
        for (auto line = host_.ReadLine(5s); line; line = host_.ReadLine(5s))
            if (*line == "echo " + echo)
                return Ms(Clock::now() - start);
        return -1;
    }

private:
    testsupport::ChildProcess host_;
    int port_ = 0;
    int nextEcho_ = 1000;
};

void PrintReplies(const char* when, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("  replies %s: %zu taken, median %.1f ms, longest %.1f ms\n", when, ms.size(), ms[ms.size() / 2],
                ms.back());
}

int Measure()
{
    platform::RaiseOpenFileLimit(); // for this side's own 1,100 connections
    Window window;

    // A millisecond apart: faster, the kernel's queue of five overflows and the attacker's
    // own connects wait a second for their retry.
    const Clock::time_point start = Clock::now();
    std::vector<LoopbackPeer> silent;
    for (int i = 0; i < 1100; ++i) {
        silent.push_back(LoopbackPeer::ConnectedTo(window.Port()));
        std::this_thread::sleep_for(1ms);
    }
    const int closed = static_cast<int>(
        std::count_if(silent.begin(), silent.end(), [](LoopbackPeer& peer) { return peer.SeesClose(0ms); }));
    std::printf("1,100 silent connections opened in %.0f ms; %d of them closed by the window so far\n",
                Ms(Clock::now() - start), closed);
    std::printf("  CPU while they stay: %.1f %% of a core over 2 s\n", window.CpuShare(2s));
    std::vector<double> replies;
    for (int i = 0; i < 20; ++i)
        replies.push_back(window.ReplyMs());
    PrintReplies("meanwhile", replies);

    // Four threads, each holding its last 250 connections and opening more as fast as the
    // window's queue lets it.
    std::atomic<bool> stop = false;
    std::atomic<int> reconnects = 0;
    std::vector<std::thread> attackers;
    for (int t = 0; t < 4; ++t)
        attackers.emplace_back([&] {
            std::vector<LoopbackPeer> held;
            while (!stop.load()) {
                try {
                    held.push_back(LoopbackPeer::ConnectedTo(window.Port()));
                } catch (const std::exception&) {
                    continue; // gave up after its retries
                }
                if (held.size() > 250)
                    held.erase(held.begin());
                ++reconnects;
            }
        });
    std::printf("Four threads reconnecting as fast as they can:\n");
    std::printf("  CPU: %.1f %% of a core over 2 s\n", window.CpuShare(2s));
    replies.clear();
    for (int i = 0; i < 20; ++i)
        replies.push_back(window.ReplyMs());
    PrintReplies("meanwhile", replies);
    stop = true;
    for (std::thread& attacker : attackers)
        attacker.join();
    std::printf("  %d connections in all\n", reconnects.load());
    return 0;
}

} // namespace

int main()
{
    try {
        return Measure();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "descriptor_pressure: %s\n", error.what());
        return 1;
    }
}
