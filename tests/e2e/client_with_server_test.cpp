// The real client beside the real reference server, in a network namespace of the test's
// own, with the client under the clock guard: what a user's machine would see, except
// that the clock does not move.

#include "tests/support/clock_guard.h"
#include "tests/support/private_network.h"

#include <QTemporaryDir>

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
        std::vector<std::string> command = {TAVRIN_TIME_SERVER, "--status-interval", "0"};
        command.insert(command.end(), options.begin(), options.end());
        auto server = std::make_unique<testsupport::ChildProcess>(command);
        const auto ready = server->ReadLine(5s);
        EXPECT_TRUE(ready && ready->find("listening on") != std::string::npos) << server->Errors();
        return server;
    }

    std::unique_ptr<testsupport::ChildProcess> StartClient()
    {
        return guard.Start({TAVRIN_CLIENT},
                           {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + home.path().toStdString(),
                            "XDG_CONFIG_HOME=" + home.path().toStdString()});
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
    const std::smatch reply = AwaitLine(*server, std::regex(R"(reply to 127\.0\.0\.1:6646: \{TAVRIN_1,0,2,9999(\d+)\})"), line);
    ASSERT_FALSE(reply.empty());
    const std::string second = reply[1];

    const std::string expected = "clock_settime 0 " + second + ".000000000";
    const auto deadline = Clock::now() + 5s;
    bool set = false;
    while (!set && Clock::now() < deadline) {
        for (const std::string& request : guard.Requests())
            set = set || request.find(expected) != std::string::npos;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(set) << "expected " << expected << "; got " << ::testing::PrintToString(guard.Requests());
    EXPECT_GT(std::stoll(second), std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::system_clock::now().time_since_epoch()).count() + 80000);

    client->Signal(SIGTERM);
    ASSERT_TRUE(client->WaitForExit(5s));
    EXPECT_EQ(client->ExitCode(), 0) << client->Errors();
}

TEST_F(ClientWithServer, ADryRunPrintsTheTimeAndNeverSetsTheClock)
{
    auto server = StartServer({"--offset", "86400"});
    auto client = guard.Start({TAVRIN_CLIENT, "--dry-run"},
                              {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + home.path().toStdString(),
                               "XDG_CONFIG_HOME=" + home.path().toStdString()});
    std::string line;
    const std::smatch reply = AwaitLine(*server, std::regex(R"(reply to .*\{TAVRIN_1,0,2,9999(\d+)\})"), line);
    ASSERT_FALSE(reply.empty());
    const auto printed = client->ReadLine(5s);
    ASSERT_TRUE(printed);
    EXPECT_NE(printed->find("(" + std::string(reply[1]) + ")"), std::string::npos) << *printed;
    EXPECT_TRUE(guard.Requests().empty());
    client->Signal(SIGTERM);
    ASSERT_TRUE(client->WaitForExit(5s));
}
