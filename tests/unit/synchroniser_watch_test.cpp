// Telling the user about another synchroniser: once per change, in the tip, with one
// notification, and in the log.

#include "app/synchroniser_watch.h"
#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"
#include "tests/support/log_lines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Source = platform::SynchroniserFinding::Source;
using app::SynchroniserWatch;
using app::TrayStatus;
using platform::SynchroniserFinding;
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

} // namespace

class SynchroniserWatchTest : public testsupport::FormTest {
protected:
    std::unique_ptr<SynchroniserWatch> Watch(std::chrono::milliseconds interval = std::chrono::hours(1))
    {
        return std::make_unique<SynchroniserWatch>(
            probe, [this](const std::string& text) { form->ReportNotice(TrayStatus::Notice::OtherSynchroniser, text); },
            interval);
    }

    std::vector<std::string> Logged() const { return log.Texts(); }

    FakeSynchroniserProbe probe;
    const testsupport::LogLines log{"tavrin.sync"};
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
    ASSERT_EQ(Logged().size(), 1u);
    EXPECT_EQ(Logged()[0], "another synchroniser keeps the clock: systemd-timedated says NTP on, clock "
                           "synchronised; "
                               + notice);

    watch->CheckNow(); // the same again: nothing new
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(Logged().size(), 1u);

    // Turned off: the tip forgets it, without a notification.
    probe.finding = {Source::Timedated, false, false};
    watch->CheckNow();
    EXPECT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.requests.back().tip, "Tavrin Client Active");
    ASSERT_EQ(Logged().size(), 2u);
    EXPECT_THAT(Logged()[1], HasSubstr("no other synchroniser keeps the clock now"));

    // Back on, seen by the kernel only this time: told again, with the other remedy.
    probe.finding = {Source::Kernel, false, true};
    watch->CheckNow();
    ASSERT_EQ(tray.messages.size(), 2u);
    EXPECT_EQ(tray.messages[1].second,
              "Another time synchroniser keeps the clock: stop chronyd or ntpd, or run 'timedatectl set-ntp false'");
    EXPECT_THAT(Logged().back(), HasSubstr("the kernel says its clock is kept synchronised"));
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
    EXPECT_EQ(Logged().size(), 0u); // debug lines only, and those are off
}

TEST_F(SynchroniserWatchTest, AsksAgainAtItsInterval)
{
    const auto watch = Watch(std::chrono::milliseconds(20));
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return probe.asked >= 3; }));
}
