// Telling the user about another synchroniser: once per change, in the tip, with one
// notification, and in the log.

#include "app/synchroniser_watch.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using platform::SynchroniserFinding;
using Source = platform::SynchroniserFinding::Source;
using testing::HasSubstr;

namespace {

// Answers every question at once with whatever `finding` holds then.
class FakeSynchroniserProbe final : public platform::SynchroniserProbe {
public:
    void Ask(std::function<void(const SynchroniserFinding&)> answer) override
    {
        ++asked;
        answer(finding);
    }

    SynchroniserFinding finding;
    int asked = 0;
};

std::vector<std::string> g_logLines;

void KeepSyncLines(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (context.category && std::string(context.category) == "tavrin.sync")
        g_logLines.push_back(message.toStdString());
}

} // namespace

class SynchroniserWatchTest : public testsupport::FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        g_logLines.clear();
        previousHandler_ = qInstallMessageHandler(KeepSyncLines);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previousHandler_);
        FormTest::TearDown();
    }

    std::unique_ptr<SynchroniserWatch> Watch(std::chrono::milliseconds interval = std::chrono::hours(1))
    {
        return std::make_unique<SynchroniserWatch>(
            probe, [this](const std::string& text) { form->ReportNotice(TrayStatus::Notice::OtherSynchroniser, text); },
            interval);
    }

    FakeSynchroniserProbe probe;

private:
    QtMessageHandler previousHandler_ = nullptr;
};

TEST_F(SynchroniserWatchTest, AnActiveSynchroniserIsToldOncePerChange)
{
    probe.finding = {Source::Timedated, true, true};
    const auto watch = Watch();
    EXPECT_EQ(probe.asked, 1); // at start
    const std::string notice = "Another time synchroniser is on: run 'timedatectl set-ntp false'";
    ASSERT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.messages[0].second, notice);
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active\n" + notice);
    ASSERT_EQ(g_logLines.size(), 1u);
    EXPECT_EQ(g_logLines[0], "another synchroniser keeps the clock: systemd-timedated says NTP on, clock "
                             "synchronised; " + notice);

    watch->CheckNow(); // the same again: nothing new
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(g_logLines.size(), 1u);

    // Turned off: the tip forgets it, without a notification.
    probe.finding = {Source::Timedated, false, false};
    watch->CheckNow();
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active");
    ASSERT_EQ(g_logLines.size(), 2u);
    EXPECT_THAT(g_logLines[1], HasSubstr("no other synchroniser keeps the clock now"));

    // Back on, seen by the kernel only this time: told again, with the other remedy.
    probe.finding = {Source::Kernel, false, true};
    watch->CheckNow();
    ASSERT_EQ(tray.messages.size(), 2u);
    EXPECT_EQ(tray.messages[1].second,
              "Another time synchroniser keeps the clock: stop chronyd or ntpd, or run 'timedatectl set-ntp false'");
    EXPECT_THAT(g_logLines.back(), HasSubstr("the kernel says its clock is kept synchronised"));
}

TEST_F(SynchroniserWatchTest, NothingToTellLeavesTheTrayAlone)
{
    const std::size_t trayRequests = tray.requests.size();
    probe.finding = {Source::Kernel, false, false};
    const auto watch = Watch();
    probe.finding = {};
    watch->CheckNow(); // nobody could tell: still nothing to say
    EXPECT_EQ(tray.requests.size(), trayRequests);
    EXPECT_TRUE(tray.messages.empty());
    EXPECT_EQ(g_logLines.size(), 0u); // debug lines only, and those are off
}

TEST_F(SynchroniserWatchTest, AsksAgainAtItsInterval)
{
    const auto watch = Watch(std::chrono::milliseconds(20));
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return probe.asked >= 3; }));
}
