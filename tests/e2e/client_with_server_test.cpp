// The real client beside the real reference server, in a network namespace of the test's
// own, with the client under the clock guard: what a user's machine would see, except
// that the clock does not move.

#include "tests/support/clock_guard.h"
#include "tests/support/file_text.h"
#include "tests/support/private_bus.h"
#include "tests/support/private_network.h"
#include "tests/support/silent_bus.h"
#include "tests/support/time_server_process.h"

#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ClientWithServer : public testsupport::ClockGuardedTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        ClockGuardedTest::SetUp();
    }

    std::unique_ptr<testsupport::ChildProcess> StartServer(const std::vector<std::string>& options)
    {
        return testsupport::StartTimeServer(TAVRIN_TIME_SERVER, options);
    }

    // Without a system bus of its own the client asks the kernel about other synchronisers.
    std::vector<std::string> ClientEnvironment(const std::vector<std::string>& more = {})
    {
        std::vector<std::string> environment = {
            "QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + home.path().toStdString(),
            "XDG_CONFIG_HOME=" + home.path().toStdString(),
            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home.path().toStdString() + "/none",
            "QT_LOGGING_RULES=tavrin.sync.debug=true"};
        environment.insert(environment.end(), more.begin(), more.end());
        return environment;
    }

    std::unique_ptr<testsupport::ChildProcess> StartClient(const std::vector<std::string>& command = {TAVRIN_CLIENT})
    {
        return guard.Start(command, ClientEnvironment());
    }

    // The calls that moved the clock (steps and slews) the guard recorded, without their
    // process numbers.
    std::vector<std::string> ClockChanges() const
    {
        static const std::regex kChange(R"(clock_settime |setoffset=|adjtime [+-])");
        std::vector<std::string> changes;
        for (const std::string& request : guard.Requests())
            if (std::regex_search(request, kChange))
                changes.push_back(request.substr(request.find(' ') + 1));
        return changes;
    }

    // The seconds of each step the guard recorded.
    std::vector<double> Steps() const
    {
        static const std::regex kStep(R"(setoffset=([+-][0-9.]+))");
        std::vector<double> steps;
        std::smatch match;
        for (const std::string& request : guard.Requests())
            if (std::regex_search(request, match, kStep))
                steps.push_back(std::stod(match[1]));
        return steps;
    }

    // Steps, once there are `count` of them or 5 s have passed.
    std::vector<double> AwaitSteps(std::size_t count) const
    {
        const auto deadline = Clock::now() + 5s;
        while (Steps().size() < count && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        return Steps();
    }

    // The next line of the server's log that matches `pattern`, with its groups.
    std::smatch AwaitLine(testsupport::ChildProcess& server, const std::regex& pattern, std::string& line)
    {
        std::smatch match;
        for (auto next = server.ReadLine(5s); next; next = server.ReadLine(5s)) {
            line = *next;
            if (std::regex_search(line, match, pattern))
                return match;
        }
        ADD_FAILURE() << "no line like that; the server said:\n" << server.Output();
        return match;
    }

    QTemporaryDir home;
};

TEST_F(ClientWithServer, TheFirstRequestComesAtOnceAndTheReplySetsTheClock)
{
    // A day ahead, so that the second set cannot be this machine's own.
    auto server = StartServer({"--offset", "86400"});
    const auto started = Clock::now();
    auto client = StartClient();

    std::string line;
    AwaitLine(*server, std::regex(R"(request from 127\.0\.0\.1:\d+: \{9999TavrinClient1010\})"), line);
    EXPECT_LT(Clock::now() - started, 1s) << line;
    const std::smatch reply =
        AwaitLine(*server, std::regex(R"(reply to 127\.0\.0\.1:6646: \{TAVRIN_1,0,2,9999(\d+)\})"), line);
    ASSERT_FALSE(reply.empty());
    const std::string second = reply[1];

    // A day ahead to within the half second a whole-second reply leaves open, and the round trip.
    const std::vector<double> steps = AwaitSteps(1);
    ASSERT_EQ(steps.size(), 1u) << ::testing::PrintToString(guard.Requests());
    EXPECT_NEAR(steps[0], 86400, 0.6);
    EXPECT_GT(
        std::stoll(second),
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count()
            + 80000);

    client->Signal(SIGTERM);
    ASSERT_TRUE(client->WaitForExit(5s));
    EXPECT_EQ(client->ExitCode(), 0) << client->Errors();
}

TEST_F(ClientWithServer, ADryRunPrintsTheTimeAndNeverSetsTheClock)
{
    auto server = StartServer({"--offset", "86400"});
    auto client = StartClient({TAVRIN_CLIENT, "--dry-run"});
    std::string line;
    const std::smatch reply = AwaitLine(*server, std::regex(R"(reply to .*\{TAVRIN_1,0,2,9999(\d+)\})"), line);
    ASSERT_FALSE(reply.empty());
    const auto printed = client->ReadLine(5s);
    ASSERT_TRUE(printed);
    std::smatch step;
    ASSERT_TRUE(std::regex_match(*printed, step, std::regex(R"(dry run: clock not stepped by ([+-][0-9.]+) s)")))
        << *printed;
    EXPECT_NEAR(std::stod(step[1]), 86400, 0.6);
    EXPECT_TRUE(guard.Requests().empty());
    client->Signal(SIGTERM);
    ASSERT_TRUE(client->WaitForExit(5s));
}

TEST_F(ClientWithServer, AClockThatIsRightIsNeverStepped)
{
    // Each reply half a second into its second: a right clock then reads that second. The
    // replies of one request must come within its deadline of 5 s to count.
    constexpr int kReplies = 3;
    auto server = StartServer({"--phase", "0.5", "--replies", std::to_string(kReplies)});
    auto client = StartClient();
    ASSERT_TRUE(client->AwaitErrors(
        [](const std::string& log) { return testsupport::CountOf(log, "clock right at") == kReplies; },
        std::chrono::seconds(kReplies + 5)))
        << client->Errors() << server->Output();
    EXPECT_EQ(testsupport::CountOf(client->Errors(), "clock stepped"), 0);
    EXPECT_EQ(ClockChanges(), std::vector<std::string>());
}

TEST_F(ClientWithServer, AClockThreeSecondsOffIsSteppedOnceAndThenLeftAlone)
{
    // The guard moves the clock the client reads with each step it answers, as a real
    // machine would. The first reply comes 0.2 s into its second, the rest at 0.5 s: each
    // then finds the clock within the bound the first left.
    constexpr int kReplies = 4;
    auto server = StartServer({"--offset", "3", "--phase", "0.2,0.5", "--replies", std::to_string(kReplies)});
    auto client = StartClient();
    std::string line;
    const std::smatch first = AwaitLine(*server, std::regex(R"(reply to .*\{TAVRIN_1,0,2,9999(\d+)\})"), line);
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(client->AwaitErrors(
        [](const std::string& log) { return testsupport::CountOf(log, "clock right at") == kReplies - 1; },
        std::chrono::seconds(kReplies + 5)))
        << client->Errors() << server->Output();
    EXPECT_EQ(testsupport::CountOf(client->Errors(), "clock stepped by +"), 1) << client->Errors();
    // Three seconds, give or take half the reply's second and half its way.
    const std::vector<double> steps = Steps();
    ASSERT_EQ(steps.size(), 1u) << ::testing::PrintToString(guard.Requests());
    EXPECT_NEAR(steps[0], 3, 1.2);
    EXPECT_EQ(ClockChanges().size(), 1u) << ::testing::PrintToString(guard.Requests());
}

TEST_F(ClientWithServer, AReplyInTwoWritesIsTakenWholeAndSetsTheClock)
{
    auto server = StartServer({"--offset", "86400", "--split"});
    auto client = StartClient();
    std::string line;
    const std::smatch reply =
        AwaitLine(*server, std::regex(R"(reply to .*\{TAVRIN_1,0,2,9999(\d+)\} \(in two writes\))"), line);
    ASSERT_FALSE(reply.empty());
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "clock stepped by") == 1;
    })) << client->Errors()
        << server->Output();
    const std::vector<double> steps = Steps();
    ASSERT_EQ(steps.size(), 1u) << ::testing::PrintToString(guard.Requests());
    EXPECT_NEAR(steps[0], 86400, 0.6);
}

TEST_F(ClientWithServer, AReplyReadLongAfterItArrivedFindsARightClockRight)
{
    // The client is stopped before the reply comes, half a second into a second as a right
    // clock reads it, and goes on seconds later: the reply is judged by its arrival.
    auto server = StartServer({"--reply-delay", "0.5", "--phase", "0.5"});
    auto client = StartClient();
    std::string line;
    AwaitLine(*server, std::regex(R"(request from 127\.0\.0\.1:\d+: \{9999TavrinClient1010\})"), line);
    client->Signal(SIGSTOP);
    AwaitLine(*server, std::regex(R"(reply to .*\{TAVRIN_1,0,2,9999\d+\})"), line);
    std::this_thread::sleep_for(2500ms); // the program stands still; its reply waits
    client->Signal(SIGCONT);
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "clock right at") == 1;
    })) << client->Errors()
        << server->Output();
    EXPECT_EQ(testsupport::CountOf(client->Errors(), "clock stepped"), 0) << client->Errors();
    EXPECT_EQ(ClockChanges(), std::vector<std::string>());
}

TEST_F(ClientWithServer, ARefusedSetIsLoggedAsSuch)
{
    testsupport::ClockGuard refusing(testsupport::ClockGuard::Answer::Refusal);
    auto server = StartServer({"--offset", "86400"});
    auto client = refusing.Start({TAVRIN_CLIENT}, ClientEnvironment());
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "clock not set") == 1;
    })) << client->Errors();
    EXPECT_THAT(client->Errors(),
                testing::HasSubstr("tavrin.sync: warning: clock not set: no permission; it stays at "));
    EXPECT_EQ(refusing.Requests().size(), 1u);
}

TEST_F(ClientWithServer, WithoutAHelperTheClientSaysNothingKeepsTheClock)
{
    // Without CAP_SYS_TIME the client would turn to its helper, and there is none beside it or
    // on PATH: it leaves the port to a client that can set the clock, and says so.
    auto server = StartServer({"--offset", "86400"});
    auto client = guard.Start({"/usr/bin/setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time", TAVRIN_CLIENT},
                              ClientEnvironment({"PATH=/nonexistent"}));
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "The clock is not kept") == 1;
    })) << client->Errors();
    EXPECT_THAT(client->Errors(), testing::HasSubstr("this user cannot set the clock"));
    EXPECT_EQ(ClockChanges(), std::vector<std::string>());
}

TEST_F(ClientWithServer, ASynchroniserThatTimedatedReportsIsToldOnce)
{
    testsupport::PrivateBus systemBus;
    if (systemBus.Address().empty())
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    const auto timedated = systemBus.StartTimedated(true, true);
    ASSERT_TRUE(timedated) << "the fake timedated did not come up";
    // A reply marks a point well after the client's look at the bus.
    auto server = StartServer({"--offset", "86400"});
    auto client = guard.Start({TAVRIN_CLIENT}, ClientEnvironment({"DBUS_SYSTEM_BUS_ADDRESS=" + systemBus.Address()}));
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "clock stepped by") == 1;
    })) << client->Errors();
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "another synchroniser") >= 1;
    })) << client->Errors();
    EXPECT_EQ(testsupport::CountOf(client->Errors(),
                                   "another synchroniser keeps the clock: systemd-timedated says NTP on, clock "
                                   "synchronised; Another time synchroniser is on: run 'timedatectl set-ntp false'"),
              1)
        << client->Errors();
}

TEST_F(ClientWithServer, ASilentSystemBusHoldsUpNeitherTheFirstRequestNorTheEnd)
{
    const testsupport::SilentBus silent;
    ASSERT_FALSE(silent.Address().empty());
    auto server = StartServer({"--offset", "86400"});
    const auto started = Clock::now();
    auto client = guard.Start({TAVRIN_CLIENT}, ClientEnvironment({"DBUS_SYSTEM_BUS_ADDRESS=" + silent.Address()}));

    std::string line;
    AwaitLine(*server, std::regex(R"(request from 127\.0\.0\.1:\d+: \{9999TavrinClient1010\})"), line);
    // Well before the synchroniser's check gives up (3 s): the request waited only for the
    // look for the system service, which gives up after 1 s.
    EXPECT_LT(Clock::now() - started, 2s) << line;
    ASSERT_TRUE(client->AwaitErrors([](const std::string& log) {
        return testsupport::CountOf(log, "no other synchroniser found: ") == 1;
    })) << client->Errors();
    EXPECT_EQ(testsupport::CountOf(client->Errors(), "does not answer within 3000 ms: the kernel is asked instead"), 1)
        << client->Errors();
    EXPECT_GE(silent.Connections(), 1);

    client->Signal(SIGTERM);
    ASSERT_TRUE(client->WaitForExit(5s)) << "the end waited for the bus";
    EXPECT_EQ(client->ExitCode(), 0) << client->Errors();
}
