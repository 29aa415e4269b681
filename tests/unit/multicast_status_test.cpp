#include "framework/application.h"
#include "framework/exception.h"
#include "tests/support/keeper_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using net::inet::TIdSocketHandle;
using testsupport::KeeperTest;

namespace {

// A face whose badge fails once, as one whose display has gone away might; it remembers the
// badges it showed after that.
class BadgeFailingOnce final : public keeper::KeeperFace {
public:
    void ShowStatus(const std::string&) override {}
    void ShowSyncBadge(int source, int state) override { badges.emplace_back(source, state); }
    void ShowUnknownBadge() override
    {
        if (!std::exchange(failed, true))
            throw framework::Exception("the badge is gone");
    }
    void ShowErrorFace(bool) override {}
    void ReportResult(const std::string&, bool) override {}
    void ReportNotice(keeper::Notice, const std::string&) override {}
    void TimeCodeTaken() override {}

    bool failed = false;
    std::vector<std::pair<int, int>> badges;
};

} // namespace

class MulticastStatus : public KeeperTest {
protected:
    void SetUp() override
    {
        KeeperTest::SetUp();
        SetServer("192.168.1.5");
        sender.SetSender("192.168.1.5", 6649);
    }

    void Receive(std::string_view datagram) { keeper->IdIPMCastClient1IPMCastRead(nullptr, datagram, sender); }

    TIdSocketHandle sender;
};

TEST_F(MulticastStatus, TheFirstLineSetsSourceAndState)
{
    Receive("1,0,2");
    ExpectBadge(1, 2);
    Receive("0,0,0");
    ExpectBadge(0, 2); // the server's own clock is always in sync
    EXPECT_EQ(keeper->FSyncState, 2);
    Receive("3,0,0");
    ExpectBadge(3, 0);
    Receive("2,0,1");
    ExpectBadge(2, 1);
    Receive("1,0,7");
    ExpectBadge(1, 7);
}

TEST_F(MulticastStatus, AnUnreadableFirstLineGivesTheUnknownLookAndNothingElse)
{
    for (const char* line : {"x,0,2", "1,0,", "1,0", "\r\n1,0,2", "\n"}) {
        Receive("1,0,2");
        Receive(line);
        ExpectUnknownBadge();
    }
    Receive("1,x,2");
    ExpectUnknownBadge();
    EXPECT_EQ(keeper->FTimeSource, 1); // read before the failing field
    EXPECT_TRUE(face.statuses.empty());
}

TEST_F(MulticastStatus, OnlyTheConfiguredServerIsHeard)
{
    Receive("1,0,2");
    for (const char* other : {"192.168.1.6", "192.168.001.005"}) {
        TIdSocketHandle stranger;
        stranger.SetSender(other, 6649);
        keeper->IdIPMCastClient1IPMCastRead(nullptr, "3,0,0", stranger);
    }
    SetServer(" 192.168.1.5");
    Receive("3,0,0");
    SetServer("192.168.1.5");
    ExpectBadge(1, 2);
}

TEST_F(MulticastStatus, LaterLinesAndBytesAfterAZeroAreIgnored)
{
    Receive("1,0,2\r\n3,0,0");
    ExpectBadge(1, 2);
    Receive(std::string_view("3,0\0,0", 6)); // the text ends at the zero byte
    ExpectUnknownBadge();
    Receive("3,0,1\nx");
    ExpectBadge(3, 1);
}

TEST_F(MulticastStatus, ADatagramWithoutALineHasNoEffect)
{
    Receive("1,0,2");
    Receive(std::string_view("\0"
                             "3,0,0",
                             6));
    ExpectBadge(1, 2);
}

TEST_F(MulticastStatus, ChangesNothingButTheBadge)
{
    const int countdown = keeper->SecondsToNextFetch();
    face.errorFace = true;
    Receive("1,0,2");
    EXPECT_EQ(keeper->SecondsToNextFetch(), countdown);
    EXPECT_TRUE(face.statuses.empty());
    EXPECT_EQ(face.timeCodesTaken, 0);
    EXPECT_EQ(keeper->FEchoCode, 9999);
    EXPECT_TRUE(face.errorFace);
    EXPECT_TRUE(clockSetter.set.empty());
}

TEST_F(MulticastStatus, NoAddressHistoryIsWritten)
{
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    MakeKeeper();
    keeper.reset(); // a watch that kept a history would write it as it goes
    QDir::setCurrent(previous);
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
}

// The listener's thread hands each datagram over through RunOnMainThread, which would raise
// in that thread what the handler raised and so end it: the handler's failure goes to the
// central display instead, and the next datagram is heard.
TEST_F(MulticastStatus, AFailingFaceReachesTheDisplayAndTheNextDatagramIsHeard)
{
    testsupport::FakeAlerts alerts;
    const framework::TApplication application(alerts);
    BadgeFailingOnce failingFace;
    const keeper::ClockKeeper withFailingFace(keeper::KeeperServices{clock, clockSetter, ports}, failingFace,
                                              keeper->Settings());
    for (const char* datagram : {"x,0,2", "3,0,1"})
        EXPECT_NO_THROW(withFailingFace.IdIPMCastClient1->OnIPMCastRead(nullptr, datagram, sender)) << datagram;
    EXPECT_TRUE(failingFace.failed);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].text, "the badge is gone");
    EXPECT_EQ(failingFace.badges, (std::vector<std::pair<int, int>>{{3, 1}}));
}
