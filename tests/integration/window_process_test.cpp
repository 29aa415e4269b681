// The window in a process of its own, pressed from loopback as an attacker would: out of
// descriptors, or flooded with frames.

#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process_stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::CpuTimeOf;
using testsupport::DescriptorsBelow;
using testsupport::DescriptorsOf;
using testsupport::LoopbackPeer;

namespace {

class WindowProcess : public testing::Test {
protected:
    void Start(const std::vector<std::string>& options)
    {
        std::vector<std::string> command = {TAVRIN_WINDOW_HOST};
        command.insert(command.end(), options.begin(), options.end());
        host = std::make_unique<ChildProcess>(command);
        const auto line = host->ReadLine(10s);
        ASSERT_TRUE(line && line->starts_with("port ")) << host->Errors();
        port = std::stoi(line->substr(5));
    }

    // The server's way: its socket stays until the window has taken the connection.
    void ServerReplies(int echoCode)
    {
        replies.push_back(LoopbackPeer::ConnectedTo(port));
        replies.back().Send("{TAVRIN_1,0,2," + std::to_string(echoCode) + "1211371200}");
        replies.back().FinishSending();
    }

    std::unique_ptr<ChildProcess> host;
    std::vector<LoopbackPeer> replies;
    int port = 0;
};

} // namespace

TEST_F(WindowProcess, OutOfDescriptorsItStaysIdleAndTakesARealReplyOnceTheSilentOnesGo)
{
    Start({"--nofile", "64", "--silence", "8000"});
    // Connections from the server's own address until the window holds all it can, each
    // once the last was taken (a backlog of five overflows otherwise), then a few more.
    std::vector<LoopbackPeer> silent;
    int held = DescriptorsBelow(64, host->Pid());
    while (held < 63 && silent.size() < 100) {
        silent.push_back(LoopbackPeer::ConnectedTo(port));
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        while (DescriptorsBelow(64, host->Pid()) == held && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        held = DescriptorsBelow(64, host->Pid());
    }
    ASSERT_GE(held, 63) << "the descriptors never ran out";
    const std::size_t filled = silent.size();
    for (int i = 0; i < 5; ++i)
        silent.push_back(LoopbackPeer::ConnectedTo(port));

    // Idle until the silence limit frees the descriptors: the CPU it takes meanwhile against
    // the time that passes. A window that spun on its listener would take most of a core;
    // a busy machine only gives it less, so the bound fails on spinning, never on load.
    // bench/descriptor_pressure measures the share itself. The oldest connections made room
    // for the last five; the newest of the rest goes only by the silence limit.
    const std::chrono::milliseconds cpuBefore = CpuTimeOf(host->Pid());
    const auto outOfDescriptors = std::chrono::steady_clock::now();
    ASSERT_TRUE(silent[filled - 1].SeesClose(10s));
    const auto span =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - outOfDescriptors);
    const std::chrono::milliseconds used = CpuTimeOf(host->Pid()) - cpuBefore;
    RecordProperty("cpu_ms_out_of_descriptors", static_cast<int>(used.count()));
    RecordProperty("ms_out_of_descriptors", static_cast<int>(span.count()));
    // A quarter of the span, and a few of the kernel's 10 ms ticks for the end of it.
    EXPECT_LE(used, span / 4 + 50ms) << "CPU " << used.count() << " ms in " << span.count() << " ms";

    // The silence limit frees the descriptors; the server's next reply is taken at once,
    // and it is the first one taken.
    for (LoopbackPeer& peer : silent)
        ASSERT_TRUE(peer.SeesClose(10s));
    ServerReplies(4242);
    EXPECT_EQ(host->ReadLine(2s), "echo 4242") << host->Errors();
    for (const char* said : {"out of descriptors (this program's, limit 64): connections are closed to make room",
                             "descriptors to spare again"}) {
        const auto logged = [said](const std::string& errors) { return errors.find(said) != std::string::npos; };
        EXPECT_TRUE(host->AwaitErrors(logged)) << host->Errors();
    }
}

TEST_F(WindowProcess, OutOfDescriptorsTheLongestSilentMakesRoomForARealReply)
{
    Start({"--nofile", "40"});
    // Far more silent connections from the server's own address than the window has
    // descriptors for, a millisecond apart so that the kernel's queue of five keeps up.
    std::vector<LoopbackPeer> silent;
    for (int i = 0; i < 200; ++i) {
        silent.push_back(LoopbackPeer::ConnectedTo(port));
        std::this_thread::sleep_for(1ms);
    }
    ServerReplies(4242);
    EXPECT_EQ(host->ReadLine(10s), "echo 4242") << host->Errors();

    // Those closed are the oldest, in order: once one is seen open, all after it are.
    std::size_t closed = 0;
    while (closed < silent.size() && silent[closed].SeesClose(0ms))
        ++closed;
    EXPECT_GE(closed, silent.size() - 40) << "the table held more than the descriptors allow";
    EXPECT_LT(closed, silent.size()) << "the newest silent ones should still be held";
    const auto outOfTurn = std::count_if(silent.begin() + static_cast<std::ptrdiff_t>(closed), silent.end(),
                                         [](LoopbackPeer& peer) { return peer.SeesClose(0ms); });
    EXPECT_EQ(outOfTurn, 0) << "newer connections closed before " << closed << " older ones";
    const auto said = [](const std::string& errors) {
        return errors.find("out of descriptors (this program's, limit 40): connections are closed to make room")
            != std::string::npos;
    };
    EXPECT_TRUE(host->AwaitErrors(said)) << host->Errors();
    EXPECT_EQ(host->Errors().find("incoming connections are dropped"), std::string::npos) << host->Errors();
}

TEST_F(WindowProcess, EndsOnSigtermWhileAFloodOfFramesArrives)
{
    Start({});
    // Sixty connections from the server's own address, held open, then 4 KB of the shortest
    // frames (each an invalid code that still ticks) on each at once: a quarter of a second of frames for the window,
    // and a SIGTERM on top.
    const int before = DescriptorsOf(host->Pid());
    std::vector<LoopbackPeer> peers;
    for (int i = 0; i < 60; ++i)
        peers.push_back(LoopbackPeer::ConnectedTo(port));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (DescriptorsOf(host->Pid()) < before + 60 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(DescriptorsOf(host->Pid()), before + 60);

    std::string frames;
    const std::string shortest = "{TAVRIN_}";
    while (frames.size() + shortest.size() <= 4096)
        frames += shortest;
    for (LoopbackPeer& peer : peers)
        peer.Send(frames);
    const auto signalled = std::chrono::steady_clock::now();
    host->Signal(SIGTERM);
    ASSERT_TRUE(host->WaitForExit(2s));
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    EXPECT_EQ(host->ExitCode(), 0);
    RecordProperty("ms_from_sigterm_to_exit", static_cast<int>(took.count()));
    std::printf("gone %lld ms after SIGTERM\n", static_cast<long long>(took.count()));
}
