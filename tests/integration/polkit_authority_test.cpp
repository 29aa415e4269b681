// Asking polkit: python3-dbusmock's polkitd on a private bus allows and refuses; what is
// asked names the caller and whether it may be asked for a password; and no verdict is
// waited for on the loop.

#include "platform/polkit_authority.h"
#include "tests/support/event_loop.h"
#include "tests/support/fake_polkit.h"
#include "tests/support/private_bus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

using Outcome = platform::PolkitVerdict::Outcome;
using testing::HasSubstr;
using testsupport::ProcessEventsUntil;
using namespace std::chrono_literals;

namespace {

class Polkit : public testing::Test {
protected:
    void SetUp() override
    {
        if (bus_.Address().empty())
            GTEST_SKIP() << "no dbus-daemon to run a private bus";
        bus = QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), QStringLiteral("polkit-test"));
        ASSERT_TRUE(bus.isConnected());
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("polkit-test")); }

    std::unique_ptr<testsupport::FakePolkit> StartPolkit()
    {
        auto polkit = std::make_unique<testsupport::FakePolkit>(bus_.Address());
        EXPECT_TRUE(polkit->Running()) << polkit->Errors();
        return polkit;
    }

    // Asks, and waits on the loop for the verdict.
    std::optional<platform::PolkitVerdict> Verdict(const QString& caller, const QString& action, bool interactive)
    {
        std::optional<platform::PolkitVerdict> verdict;
        authority.Check(bus, caller, action, interactive,
                        [&](const platform::PolkitVerdict& given) { verdict = given; });
        EXPECT_FALSE(verdict) << "answered before the loop ran";
        ProcessEventsUntil([&] { return verdict.has_value(); }, 10s);
        return verdict;
    }

    testsupport::PrivateBus bus_;
    QDBusConnection bus{QString()};
    platform::PolkitAuthority authority;
};

} // namespace

TEST_F(Polkit, AllowsWhatPolkitAllowsToTheCallerItNames)
{
    const auto polkit = StartPolkit();
    ASSERT_TRUE(polkit->Running());
    ASSERT_TRUE(polkit->Allow({"com.example.allowed"}));
    const struct {
        const char* caller;
        const char* action;
        bool interactive;
        Outcome outcome;
    } cases[] = {
        {":1.42", "com.example.allowed", false, Outcome::Allowed},
        {":1.43", "com.example.allowed", true, Outcome::Allowed},
        {":1.44", "com.example.other", false, Outcome::Refused},
        {":1.45", "com.example.other", true, Outcome::Refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caller);
        const auto verdict = Verdict(c.caller, c.action, c.interactive);
        ASSERT_TRUE(verdict);
        EXPECT_EQ(verdict->outcome, c.outcome);
        // The subject is the caller's bus name; flag 1 lets polkit ask for a password.
        const auto check = polkit->NextCheck();
        ASSERT_TRUE(check);
        EXPECT_THAT(*check,
                    HasSubstr(std::string("(dbus.String('system-bus-name'), dbus.Dictionary({dbus.String('name'): "
                                          "dbus.String('")
                              + c.caller + "', variant_level=1)}"));
        EXPECT_THAT(*check,
                    HasSubstr(std::string(" \"") + c.action + "\" {} " + (c.interactive ? "1" : "0") + " \"\""));
    }
}

TEST_F(Polkit, AVerdictThatTakesLongHoldsNothingElseUp)
{
    const auto polkit = StartPolkit();
    ASSERT_TRUE(polkit->Running());
    ASSERT_TRUE(polkit->Allow({"com.example.slow", "com.example.quick"}));
    ASSERT_TRUE(polkit->Hold({"com.example.slow"}));
    std::optional<platform::PolkitVerdict> slow;
    authority.Check(bus, ":1.50", "com.example.slow", true,
                    [&](const platform::PolkitVerdict& given) { slow = given; });
    const auto quick = Verdict(":1.51", "com.example.quick", false);
    ASSERT_TRUE(quick);
    EXPECT_EQ(quick->outcome, Outcome::Allowed);
    EXPECT_FALSE(slow);
    ASSERT_TRUE(polkit->Release());
    ASSERT_TRUE(ProcessEventsUntil([&] { return slow.has_value(); }));
    EXPECT_EQ(slow->outcome, Outcome::Allowed);
}

TEST_F(Polkit, NoVerdictComesOnceTheAuthorityIsGone)
{
    const auto polkit = StartPolkit();
    ASSERT_TRUE(polkit->Running());
    ASSERT_TRUE(polkit->Allow({"com.example.slow"}));
    ASSERT_TRUE(polkit->Hold({"com.example.slow"}));
    bool answered = false;
    {
        platform::PolkitAuthority gone;
        gone.Check(bus, ":1.60", "com.example.slow", false, [&](const platform::PolkitVerdict&) { answered = true; });
        ASSERT_TRUE(polkit->NextCheck());
    }
    ASSERT_TRUE(polkit->Release());
    // A second check, asked after, is the marker that the first one's answer has come back.
    const auto marker = Verdict(":1.61", "com.example.marker", false);
    ASSERT_TRUE(marker);
    EXPECT_FALSE(answered);
}

TEST_F(Polkit, WithoutPolkitOnTheBusNothingIsAllowedAndThatIsSaid)
{
    const auto verdict = Verdict(":1.70", "com.example.allowed", false);
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->outcome, Outcome::NoAnswer);
    EXPECT_THAT(verdict->detail, HasSubstr("polkit is not on the system bus"));
}
