// A keeper standing by while the system service keeps the clock, over real loopback
// connections: it lets its reply port go, asks nothing, and comes back as at start.

#include "tests/support/event_loop.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/loopback_peer.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::LoopbackPeer;
using testsupport::ProcessEventsUntil;
using namespace std::chrono_literals;

namespace {

constexpr const char* kAttempting = "Attempting to connect to server..";

} // namespace

class StandBy : public testsupport::KeeperTest {
protected:
    void SetUp() override
    {
        ports.request = server.LocalPort();
        ports.reply = testsupport::UnusedPort(); // the same port each time it is taken
        KeeperTest::SetUp();
    }

    // Whether something listens on the keeper's reply port.
    bool ReplyPortListens() const { return testsupport::Listens(ports.reply); }

    int Attempts() const
    {
        return static_cast<int>(std::count(face.statuses.begin(), face.statuses.end(), kAttempting));
    }

    // A new keeper, made as `start` says, whose reply port another program holds.
    void MakeKeeperBesideAHolder(keeper::ClockKeeper::Start start)
    {
        keeper.reset();
        ports.reply = holder.LocalPort();
        keeper = std::make_unique<keeper::ClockKeeper>(keeper::KeeperServices{clock, clockSetter, ports}, face,
                                                       keeper::KeeperSettings{}, start);
    }

    LoopbackPeer server = LoopbackPeer::Listening();
    LoopbackPeer holder = LoopbackPeer::Listening();
};

TEST_F(StandBy, LetsThePortGoAsksNothingAndComesBackAsAtStart)
{
    keeper->StandBy(true); // before the loop: the first request never goes out
    EXPECT_TRUE(keeper->StandingBy());
    EXPECT_FALSE(ReplyPortListens());
    keeper->BitBtn1Click(nullptr);
    keeper->FetchTimeAndDate();
    SetServer("127.0.0.1"); // settings still change
    // The marker: everything the loop had at hand has run, and nothing was tried.
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_EQ(Attempts(), 0);
    EXPECT_FALSE(keeper->LocalGroupTimer->isActive());
    EXPECT_FALSE(server.Accept(0ms));
    EXPECT_TRUE(clockSetter.steppedTo.empty());

    keeper->StandBy(false);
    EXPECT_TRUE(ReplyPortListens());
    EXPECT_GE(keeper->SecondsToNextFetch(), keeper->Settings().interval.count() - 2); // the countdown anew
    LoopbackPeer request;
    ASSERT_TRUE(ProcessEventsUntil([&] { return static_cast<bool>(request = server.Accept(0ms)); }, 1s))
        << "no request within a second of coming back";
    ASSERT_TRUE(ProcessEventsUntil([&] { return face.Status() == "Update Requested: Waiting for reply.."; }));
    EXPECT_EQ(request.Receive(64, 2s), "{9999TavrinClient1010}");
}

TEST_F(StandBy, DropsTheAttemptUnderWayAndTheRepliesHeld)
{
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->FConnected; })); // the first request, connected
    LoopbackPeer reply = LoopbackPeer::ConnectedTo(ports.reply);
    ASSERT_TRUE(ProcessEventsUntil([&] { return keeper->replyConnections.Count() == 1; }));
    const std::size_t statuses = face.statuses.size();

    keeper->StandBy(true);
    EXPECT_TRUE(reply.SeesClose(2s));
    EXPECT_EQ(keeper->replyConnections.Count(), 0u);
    EXPECT_FALSE(keeper->ClientSocket1->Active());
    // The connection the attempt had made goes without a request, and without an error shown.
    LoopbackPeer dropped = server.Accept(2s);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped.Receive(64, 2s), "");
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_EQ(face.statuses.size(), statuses);
    EXPECT_FALSE(face.errorFace);
}

TEST_F(StandBy, ClearsThePortNoticeAndRaisesItAgainOnlyWhenBack)
{
    MakeKeeperBesideAHolder(keeper::ClockKeeper::Start::Keeping);
    ASSERT_TRUE(face.notices.contains(keeper::Notice::ReplyPortInUse));

    keeper->StandBy(true);
    EXPECT_FALSE(face.notices.contains(keeper::Notice::ReplyPortInUse));
    EXPECT_TRUE(keeper->State().notices.empty());
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_FALSE(face.notices.contains(keeper::Notice::ReplyPortInUse));

    keeper->StandBy(false);
    EXPECT_TRUE(face.notices.contains(keeper::Notice::ReplyPortInUse));
}

TEST_F(StandBy, AKeeperMadeStandingByNeverTakesThePort)
{
    MakeKeeperBesideAHolder(keeper::ClockKeeper::Start::StandingBy);
    ASSERT_TRUE(testsupport::ProcessPendingEvents());
    EXPECT_TRUE(face.noticesRaised.empty());
    EXPECT_TRUE(face.statuses.empty());
    EXPECT_FALSE(server.Accept(0ms));
}
