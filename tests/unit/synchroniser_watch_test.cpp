// Telling the user about another synchroniser: once per change, in the tip, with one
// notification, and in the log.

#include "framework/application.h"
#include "framework/exception.h"
#include "keeper/synchroniser_watch.h"
#include "tests/support/event_loop.h"
#include "tests/support/keeper_fixture.h"
#include "tests/support/log_lines.h"

#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Source = platform::SynchroniserFinding::Source;
using keeper::Notice;
using keeper::SynchroniserWatch;
using platform::SynchroniserFinding;
using testing::HasSubstr;

namespace {

// Answers every question with whatever `finding` holds then: at once, as the kernel does,
// or `later`, from the loop, as the bus does.
class FakeSynchroniserProbe final : public platform::SynchroniserProbe {
public:
    void Ask(std::function<void(const SynchroniserFinding&)> answer) override
    {
        ++asked;
        if (later)
            QTimer::singleShot(0, &answers, [answer = std::move(answer), found = finding] { answer(found); });
        else
            answer(finding);
    }

    SynchroniserFinding finding;
    int asked = 0;
    bool later = false;
    QObject answers; // none is answered once the probe is gone
};

} // namespace

class SynchroniserWatchTest : public testsupport::KeeperTest {
protected:
    std::unique_ptr<SynchroniserWatch> Watch(std::chrono::milliseconds interval = std::chrono::hours(1))
    {
        return std::make_unique<SynchroniserWatch>(
            probe, [this](const std::string& text) { face.ReportNotice(Notice::OtherSynchroniser, text); }, interval);
    }

    // The notices the face was told of, in order.
    std::vector<std::string> Told() const
    {
        std::vector<std::string> texts;
        for (const auto& [notice, text] : face.noticesRaised)
            texts.push_back(text);
        return texts;
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
    EXPECT_EQ(Told(), std::vector<std::string>({notice}));
    ASSERT_EQ(Logged().size(), 1u);
    EXPECT_EQ(Logged()[0], "another synchroniser keeps the clock: systemd-timedated says NTP on, clock "
                           "synchronised; "
                               + notice);

    watch->CheckNow(); // the same again: nothing new
    EXPECT_EQ(Told().size(), 1u);
    EXPECT_EQ(Logged().size(), 1u);

    // Turned off: the notice is cleared.
    probe.finding = {Source::Timedated, false, false};
    watch->CheckNow();
    EXPECT_EQ(Told(), std::vector<std::string>({notice, ""}));
    EXPECT_TRUE(face.notices.empty());
    ASSERT_EQ(Logged().size(), 2u);
    EXPECT_THAT(Logged()[1], HasSubstr("no other synchroniser keeps the clock now"));

    // Back on, seen by the kernel only this time: told again, with the other remedy.
    probe.finding = {Source::Kernel, false, true};
    watch->CheckNow();
    ASSERT_EQ(Told().size(), 3u);
    EXPECT_EQ(Told()[2],
              "Another time synchroniser keeps the clock: stop chronyd or ntpd, or run 'timedatectl set-ntp false'");
    EXPECT_THAT(Logged().back(), HasSubstr("the kernel says its clock is kept synchronised"));
}

TEST_F(SynchroniserWatchTest, NothingToTellLeavesTheFaceAlone)
{
    probe.finding = {Source::Kernel, false, false};
    const auto watch = Watch();
    probe.finding = {};
    watch->CheckNow(); // nobody could tell: still nothing to say
    EXPECT_TRUE(Told().empty());
    EXPECT_EQ(Logged().size(), 0u); // debug lines only, and those are off
}

TEST_F(SynchroniserWatchTest, AnAnswerThatComesAfterTheWatchIsGoneIsDropped)
{
    // As when the service's server is removed while the bus still has the question.
    probe.later = true;
    probe.finding = {Source::Timedated, true, true};
    Watch().reset();
    int answered = 0;
    probe.Ask([&](const SynchroniserFinding&) { ++answered; }); // the marker, after the watch's question
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return answered == 1; }));
    EXPECT_EQ(probe.asked, 2);
    EXPECT_TRUE(Told().empty());
}

// The kernel's flag may be left from the program's own last run: the keeper asks once its
// first request has had an outcome, and knows its own mark from then on.
TEST_F(SynchroniserWatchTest, TheKeeperAsksOnceItsFirstRequestHasAnOutcomeAndKnowsItsOwnMark)
{
    probe.finding = {Source::Kernel, false, true};
    synchroniserProbe = &probe;
    MakeKeeper();
    EXPECT_EQ(probe.asked, 0);
    AwaitReply();
    keeper->SplitTimeReply("{TAVRIN_1,0,2,00421211371200}"); // set: the kernel is told
    EXPECT_EQ(clockSetter.marks.size(), 1u);
    EXPECT_EQ(probe.asked, 1);
    EXPECT_TRUE(face.notices.empty()); // the flag is ours

    clockSetter.markAnswer = {platform::ClockSetResult::Outcome::Refused, "no permission"};
    MakeKeeper(); // a keeper without the right: the flag is somebody else's
    AwaitReply();
    keeper->SplitTimeReply("{TAVRIN_1,0,2,00421211371200}");
    EXPECT_EQ(face.notices.count(Notice::OtherSynchroniser), 1u);

    // timedated's NTP service on: somebody else's, unless the keeper is that very service.
    clockSetter.markAnswer = {};
    probe.finding = {Source::Timedated, true, false};
    for (const bool ownService : {false, true}) {
        ownNtpService = ownService;
        MakeKeeper();
        face.notices.clear();
        AwaitReply();
        keeper->SplitTimeReply("{TAVRIN_1,0,2,00421211371200}");
        EXPECT_EQ(face.notices.count(Notice::OtherSynchroniser), ownService ? 0u : 1u) << ownService;
    }
}

TEST_F(SynchroniserWatchTest, AsksAgainAtItsInterval)
{
    const auto watch = Watch(std::chrono::milliseconds(20));
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return probe.asked >= 3; }));
}

// A notice that fails (a tray gone away, say) reaches the central display, whether the loop
// started the check or brought the answer; the watch goes on and tells the next change.
TEST_F(SynchroniserWatchTest, AFailingNoticeReachesTheDisplayAndTheWatchGoesOn)
{
    testsupport::FakeAlerts alerts;
    const framework::TApplication application(alerts);
    for (const bool later : {false, true}) {
        alerts.shown.clear();
        // One of its own, so that no answer still on its way outlives the watch it is for.
        FakeSynchroniserProbe answering;
        answering.later = later;
        answering.finding = {Source::Timedated, true, false};
        std::vector<std::string> told;
        const SynchroniserWatch watch(
            answering,
            [&](const std::string& text) {
                told.push_back(text);
                if (told.size() == 1)
                    throw framework::Exception("the tray is gone");
            },
            std::chrono::milliseconds(10), false);
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return !alerts.shown.empty(); })) << later;
        EXPECT_EQ(alerts.shown[0].text, "the tray is gone") << later;

        answering.finding = {Source::Timedated, false, false};
        EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return told.size() == 2; })) << later;
        EXPECT_EQ(told.back(), "") << later; // the notice cleared
        EXPECT_EQ(alerts.shown.size(), 1u) << later;
    }
}
