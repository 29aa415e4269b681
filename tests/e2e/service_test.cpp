// The system service beside the reference server, in a network namespace of the test's own,
// under the clock guard: what systemd, the journal and node_exporter would see of it, the
// settings files it is given, and its end.

#include "platform/log_events.h"
#include "tests/support/clock_guard.h"
#include "tests/support/file_text.h"
#include "tests/support/journal_fields.h"
#include "tests/support/notify_socket.h"
#include "tests/support/private_network.h"
#include "tests/support/time_server_process.h"

#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using testing::HasSubstr;
using testsupport::JournalFields;

namespace {

// One outcome of an exchange as the service logs it: "clock stepped by -3.712345 s from …
// (offset +3.712345 s ± 0.500123 s; …)", "clock slewed by …", "clock right at …" or "clock slewing at …"
// (a slew under way takes the rest in).
struct Outcome {
    std::string kind; // stepped, slewed, slewing or right
    double offset = 0;
    double bound = 0;
};

std::vector<Outcome> Outcomes(const std::string& log)
{
    static const std::regex kLine(
        R"(clock (stepped|slewed|slewing|right) .*\(offset ([+-][0-9.]+) s \xC2\xB1 ([0-9.]+) s;)");
    std::vector<Outcome> outcomes;
    for (auto line = std::sregex_iterator(log.begin(), log.end(), kLine); line != std::sregex_iterator(); ++line)
        outcomes.push_back({(*line)[1], std::stod((*line)[2]), std::stod((*line)[3])});
    return outcomes;
}

} // namespace

class ServiceWithServer : public testsupport::ClockGuardedTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        ClockGuardedTest::SetUp();
        notify = std::make_unique<testsupport::NotifySocket>(folder.path().toStdString() + "/notify");
    }

    std::unique_ptr<testsupport::ChildProcess> StartServer(const std::vector<std::string>& options)
    {
        return testsupport::StartTimeServer(TAVRIN_TIME_SERVER, options);
    }

    std::string WriteConfig(const std::string& text)
    {
        std::string path = folder.path().toStdString() + "/clientd.conf";
        std::ofstream(path) << text;
        return path;
    }

    // The service, under the guard, with `arguments`; before a journal of its own when asked.
    std::unique_ptr<testsupport::ChildProcess> StartService(const std::vector<std::string>& arguments,
                                                            bool withJournal = false)
    {
        std::vector<std::string> command;
        if (withJournal)
            command.push_back(TAVRIN_JOURNAL_SINK);
        command.push_back(TAVRIN_CLIENTD);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return guard.Start(command, {"NOTIFY_SOCKET=" + notify->Path(),
                                     "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder.path().toStdString() + "/none"});
    }

    QTemporaryDir folder;
    std::unique_ptr<testsupport::NotifySocket> notify;
};

TEST_F(ServiceWithServer, KeepsTheClockFromStartAndTellsSystemdTheJournalAndTheMetrics)
{
    auto server = StartServer({"--offset", "86400"});
    const std::string metrics = folder.path().toStdString() + "/tavrin-client.prom";
    auto service = StartService(
        {"--config", WriteConfig("[Time]\nServer=127.0.0.1\nPollIntervalSec=16\nMetricsFile=" + metrics + "\n")}, true);

    ASSERT_TRUE(notify->AwaitWith("READY=1")) << service->Errors();
    ASSERT_TRUE(notify->AwaitWith("STATUS=Last update")) << testing::PrintToString(notify->Heard());
    // The clock was moved by the day, once, and the kernel told it is kept.
    const auto changes = guard.Requests();
    EXPECT_EQ(
        std::count_if(changes.begin(), changes.end(),
                      [](const std::string& change) { return change.find(" setoffset=+86") != std::string::npos; }),
        1)
        << testing::PrintToString(changes);
    // Told with STA_UNSYNC cleared.
    EXPECT_THAT(changes, testing::Contains(testing::Truly([](const std::string& change) {
                    std::smatch status;
                    return std::regex_search(change, status, std::regex(" status=(0x[0-9a-f]+|0) maxerror="))
                        && (std::stoul(status[1], nullptr, 16) & 0x40) == 0;
                })));
    // The figures follow the status.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (testsupport::ReadFile(metrics).find("\ntavrin_client_steps_total 1\n") == std::string::npos
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_THAT(testsupport::ReadFile(metrics),
                testing::AllOf(HasSubstr("\ntavrin_client_steps_total 1\n"),
                               HasSubstr("\ntavrin_client_server_reachable 1\n"),
                               HasSubstr("\ntavrin_client_server_source 1\n"),
                               HasSubstr("# TYPE tavrin_client_last_update_timestamp_seconds gauge")));

    service->Signal(SIGTERM);
    ASSERT_TRUE(notify->AwaitWith("STOPPING=1"));
    ASSERT_TRUE(service->WaitForExit(10s));
    std::vector<JournalFields> journal;
    std::string end;
    while (const auto line = service->ReadLine(1s)) {
        if (line->starts_with("journal "))
            journal.push_back(testsupport::DecodeJournalDatagram(testsupport::FromHex(line->substr(8))));
        else
            end = *line;
    }
    EXPECT_EQ(end, "exit 0") << service->Errors();

    const auto stepped = std::find_if(journal.begin(), journal.end(), [](const JournalFields& fields) {
        return fields.count("MESSAGE_ID") && fields.at("MESSAGE_ID") == platform::kClockStepped;
    });
    ASSERT_NE(stepped, journal.end()) << journal.size() << " lines in the journal; stderr: " << service->Errors();
    EXPECT_EQ(stepped->at(std::string(platform::kFieldServer)), "127.0.0.1");
    EXPECT_EQ(stepped->at("PRIORITY"), "6");
    const long long offset = std::stoll(stepped->at(std::string(platform::kFieldOffsetUsec)));
    EXPECT_LT(std::llabs(offset + 86'400'000'000LL), 600'000LL) << offset;
    EXPECT_LE(std::stoll(stepped->at(std::string(platform::kFieldErrorBoundUsec))), 600'000LL);
    EXPECT_THAT(stepped->at("MESSAGE"), testing::ContainsRegex("clock stepped by \\+86(399|400)\\."));
}

TEST_F(ServiceWithServer, AClockFarOffAndDriftingIsSteppedOnceThenKeptWithinItsNarrowingBound)
{
    // 3.7 s ahead and gaining 40 ppm, as a PC with a poor crystal after a long time off.
    guard.StartClock(3700ms, 40);
    auto server = StartServer({});
    auto service =
        guard.Start({TAVRIN_CLIENTD, "--config", WriteConfig("[Time]\nServer=127.0.0.1\nPollIntervalSec=16\n")},
                    {"NOTIFY_SOCKET=" + notify->Path(),
                     "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder.path().toStdString() + "/none",
                     "QT_LOGGING_RULES=tavrin.sync.debug=true"});
    // The first exchange at start, the others timed by the estimate 16 s apart.
    constexpr std::size_t kExchanges = 4;
    ASSERT_TRUE(service->AwaitErrors([](const std::string& log) { return Outcomes(log).size() >= kExchanges; },
                                     std::chrono::seconds(16 * kExchanges + 10)))
        << service->Errors();
    const std::vector<Outcome> outcomes = Outcomes(service->Errors());
    const auto clock = guard.Clock();
    ASSERT_TRUE(clock);

    // A whole-second reply leaves half a second either way, and the step goes to the estimate.
    EXPECT_EQ(outcomes[0].kind, "stepped") << service->Errors();
    EXPECT_NEAR(outcomes[0].offset, 3.7, 0.5 + outcomes[0].bound);
    for (std::size_t i = 1; i < outcomes.size(); ++i)
        EXPECT_NE(outcomes[i].kind, "stepped") << service->Errors();
    // Each timed request halves what is open: three of them leave an eighth, give or take
    // what a loaded machine's late sends cost; untimed ones would leave it all open.
    EXPECT_LT(outcomes.back().bound, outcomes.front().bound / 2) << service->Errors();
    // And the clock, once what is left of the slew is worked off, lies within the bound of
    // where the last exchange put it: the estimate when it left the clock alone, zero when it
    // slewed by the estimate. When it counted on a slew under way, the estimate less that
    // slew held zero within the bound, so the clock is within twice the bound. All of it but
    // for the drift since (40 ppm of at most 16 s) and the microseconds of the log.
    const Outcome& last = outcomes.back();
    const double left = std::chrono::duration<double>(clock->shift + clock->slewLeft).count();
    const double tolerance = 0.001;
    const double centre = last.kind == "right" ? last.offset : 0;
    const double width = last.kind == "slewing" ? 2 * last.bound : last.bound;
    EXPECT_LE(std::abs(left - centre), width + tolerance) << last.kind << "\n" << service->Errors();
    EXPECT_EQ(testsupport::CountOf(service->Errors(), "the estimate starts again"), 0) << service->Errors();
}

TEST_F(ServiceWithServer, AfterAStopLongerThanItsIntervalItAsksAtOnceAndThenAnIntervalLater)
{
    // As after a suspend: the boot-time clock, not the ticks seen, tells that a cycle passed.
    auto server = StartServer({});
    auto service = StartService({"--config", WriteConfig("[Time]\nServer=127.0.0.1\nPollIntervalSec=16\n")});
    const auto NextRequest = [&server](std::chrono::seconds within) {
        for (auto line = server->ReadLine(within); line; line = server->ReadLine(within))
            if (line->starts_with("request from "))
                return true;
        return false;
    };
    ASSERT_TRUE(NextRequest(5s)) << server->Output();
    service->Signal(SIGSTOP);
    std::this_thread::sleep_for(18s); // the stop itself: longer than one interval
    service->Signal(SIGCONT);
    const auto resumed = std::chrono::steady_clock::now();
    ASSERT_TRUE(NextRequest(8s)) << "no request within half an interval of the resume; " << service->Errors();
    const auto caughtUp = std::chrono::steady_clock::now();
    // Once, not a burst: the next one keeps a whole interval's distance.
    ASSERT_TRUE(NextRequest(25s)) << server->Output();
    EXPECT_GE(std::chrono::steady_clock::now() - caughtUp, 15s);
    EXPECT_LT(caughtUp - resumed, 8s);
}

TEST_F(ServiceWithServer, ItsSettingsTellTheirFaultsWithFileAndLine)
{
    struct Case {
        const char* what;
        std::string config;
        const char* logged;
        int exitCode; // -1: it runs, and ends on SIGTERM
    };
    const std::string folderPath = folder.path().toStdString();
    const Case cases[] = {
        {"an unknown key", "[Time]\nServer=127.0.0.1\nServr=x\n", ":3: unknown key Servr ignored", -1},
        {"a bad value", "[Time]\nPollIntervalSec=5\n", ":2: bad value for PollIntervalSec", -1},
        {"no server", "[Time]\n", "no server configured: waiting", -1},
        {"a file that cannot be read", "", "the service does not start", 78},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A folder where the file should be cannot be read as one.
        const std::string config = c.exitCode == 78 ? folderPath : WriteConfig(c.config);
        auto service = StartService({"--config", config, "--dry-run"});
        if (c.exitCode == 78) {
            ASSERT_TRUE(service->WaitForExit(10s));
            EXPECT_EQ(service->ExitCode(), 78);
        } else {
            ASSERT_TRUE(notify->AwaitWith("READY=1")) << service->Errors();
            service->Signal(SIGTERM);
            ASSERT_TRUE(service->WaitForExit(10s));
            EXPECT_EQ(service->ExitCode(), 0);
        }
        EXPECT_EQ(testsupport::CountOf(service->Errors(), c.logged), 1) << service->Errors();
        if (!c.config.empty() && c.config != "[Time]\n") {
            EXPECT_THAT(service->Errors(), HasSubstr(config + ":")) << "the file is named";
        }
    }
    EXPECT_TRUE(guard.Requests().empty()); // dry runs all
}
