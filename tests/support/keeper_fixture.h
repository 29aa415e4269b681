#pragma once

// A clock keeper over fakes and a recording face, for tests of the keeping logic.

#include "keeper/clock_keeper.h"
#include "net/inet/stack.h"
#include "tests/support/fake_clock_setter.h"
#include "tests/support/fakes.h"
#include "tests/support/recording_face.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace testsupport {

class KeeperTest : public testing::Test {
protected:
    KeeperTest() { net::inet::TIdStack::UseLocalAddressSource(&addresses); }
    ~KeeperTest() override { net::inet::TIdStack::UseLocalAddressSource(nullptr); }

    void SetUp() override
    {
        clock.Set(12, 0, 0);
        clockSetter.movesClock = &clock.utcNow;
        MakeKeeper();
    }
    void TearDown() override { keeper.reset(); }

    // A keeper anew, with `settings`; its first request waits for the loop.
    void MakeKeeper(keeper::KeeperSettings settings = {})
    {
        keeper.reset();
        keeper = std::make_unique<keeper::ClockKeeper>(
            keeper::KeeperServices{clock, clockSetter, ports, synchroniserProbe, ownNtpService}, face,
            std::move(settings));
    }

    void SetServer(const std::string& server)
    {
        keeper::KeeperSettings settings = keeper->Settings();
        settings.server = keeper::ServerName(server);
        keeper->SetSettings(settings);
    }

    // As if a request had just gone out, by the PC's clock as it reads now: the replies that
    // follow may set the clock.
    void AwaitReply()
    {
        keeper->requestSentAt = std::chrono::steady_clock::now();
        keeper->requestSentPc = clock.UtcNow();
    }
    // `frames`, as the reply to a request that went out the moment before: a flight of no
    // time, as the fake clock stands still.
    void Answer(const std::string& frames)
    {
        AwaitReply();
        keeper->SplitTimeReply(frames, keeper->requestSentAt);
    }

    // The seconds the clock was stepped into, in turn: the fake clock moves only by steps.
    std::vector<std::int64_t> SecondsSetTo() const
    {
        std::vector<std::int64_t> seconds;
        for (const platform::UtcTime reading : clockSetter.steppedTo)
            seconds.push_back(std::chrono::floor<std::chrono::seconds>(reading).time_since_epoch().count());
        return seconds;
    }

    void ExpectBadge(int source, int state) { EXPECT_EQ(face.badge, (RecordingFace::Badge{source, state})); }
    void ExpectUnknownBadge() { EXPECT_EQ(face.badge, std::nullopt); }

    static constexpr std::int64_t kLongAgo = -315'619'200; // 1960: every time code steps from here
    FakeClock clock;
    FakeClockSetter clockSetter;
    FakeLocalAddresses addresses; // only loopback: offline
    // Replies on a port of the system's choice, so that keepers side by side never meet;
    // requests go to a port nobody listens on unless a test says otherwise.
    keeper::KeeperPorts ports{0, 0};
    platform::SynchroniserProbe* synchroniserProbe = nullptr;
    bool ownNtpService = false;
    RecordingFace face;
    std::unique_ptr<keeper::ClockKeeper> keeper;
};

} // namespace testsupport
