// tavrinctl as a user runs it, against a stand-in for tavrin-clientd on a private system
// bus (tests/support/fake_clientd.py, which exports the interface from the service's own
// XML), against no service, and against a bus or a service that never answers.

#include "tests/support/child_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/silent_bus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <regex>

using namespace std::chrono_literals;
using testsupport::ChildProcess;

namespace {

constexpr std::int64_t kSecond = 1'000'000;

std::int64_t NowUsec()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What one run of tavrinctl left.
struct Outcome {
    int exitCode = -1;
    std::string output;
    std::string errors;
};

class Tavrinctl : public testing::Test {
protected:
    void SetUp() override
    {
        if (bus.Address().empty())
            GTEST_SKIP() << "no dbus-daemon";
    }

    // Starts the fake service with `behaviour` (see fake_clientd.py); fails the test when it
    // does not come up.
    void StartService(const std::string& behaviour)
    {
        service = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", TAVRIN_FAKE_CLIENTD, bus.Address(), TAVRIN_CLIENTD_INTERFACE, behaviour});
        const auto ready = service->ReadLine(10s);
        ASSERT_EQ(ready.value_or("nothing"), "ready") << service->Errors();
    }

    // The properties of a service that kept the clock at `lastUpdate` and plans its next
    // request 300 s after it.
    std::string Properties() const
    {
        return R"("properties": {"Server": "192.0.2.1", "Reachable": true, "Source": 1, "State": 1,)"
               R"( "LastUpdateUSec": )"
             + std::to_string(lastUpdate) + R"(, "OffsetUSec": -12345, "ErrorBoundUSec": 4000,)"
             + R"json( "LastResult": "Last update 11:59:18: clock right (offset -12 ms)", "NextUpdateUSec": )json"
             + std::to_string(lastUpdate + 300 * kSecond) + R"(, "Notice": "one\ntwo"})";
    }

    // Runs tavrinctl with `arguments` on the private bus; its standard input is not a
    // terminal unless `onTerminal`, where its output and errors come together.
    Outcome Tavrin(const std::vector<std::string>& arguments, bool onTerminal = false,
                   std::chrono::milliseconds patience = 20s)
    {
        std::vector<std::string> command;
        if (onTerminal) {
            std::string line = TAVRINCTL;
            for (const std::string& argument : arguments)
                line += " " + argument;
            command = {"script", "--quiet", "--return", "--command", line, "/dev/null"};
        } else {
            command = {"/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null", TAVRINCTL};
            command.insert(command.end(), arguments.begin(), arguments.end());
        }
        ChildProcess tavrinctl(command, {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress, "TZ=UTC"});
        if (!tavrinctl.WaitForExit(patience))
            ADD_FAILURE() << "tavrinctl still runs after " << patience.count() << " ms";
        return {tavrinctl.ExitCode(), tavrinctl.Output(), tavrinctl.Errors()};
    }

    // The next call the service saw, as fake_clientd.py prints it.
    std::string NextCall(const std::string& name)
    {
        while (const auto line = service->ReadLine(5s)) {
            if (line->starts_with("CALL " + name + " "))
                return *line;
        }
        return "no call of " + name;
    }

    testsupport::PrivateBus bus;
    std::string busAddress = bus.Address();
    std::unique_ptr<ChildProcess> service;
    std::int64_t lastUpdate = NowUsec() - 42 * kSecond;
};

TEST_F(Tavrinctl, StatusShowsTheServicesState)
{
    StartService("{" + Properties() + "}");
    const Outcome run = Tavrin({"status"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    for (const char* line :
         {"     Server: 192.0.2.1\n", "  Reachable: yes\n", "Time source: GPS\n", " Sync state: holdover\n",
          "     Offset: -12 ms ± 4 ms\n", "Last result: Last update 11:59:18: clock right (offset -12 ms)\n",
          "     Notice: one\n             two\n"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << " in\n" << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(Last update: \w{3} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC )"
                                                         R"(\((4[2-9]|[5-9]\d)s ago\)\n)")))
        << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(Next update: .* UTC \(in [34]min \d+s\)\n)")))
        << run.output;
    // Nothing but the default command: the same.
    EXPECT_EQ(Tavrin({}).output.substr(0, 40), run.output.substr(0, 40));
}

TEST_F(Tavrinctl, StatusAsJsonCarriesEveryValueExactly)
{
    StartService(R"({"properties": {"Server": "time.example.org", "Source": 3, "State": 0, "LastUpdateUSec": )"
                 + std::to_string(lastUpdate)
                 + R"(, "OffsetUSec": -1234567, "ErrorBoundUSec": 1200000, "Failing": true,)"
                   R"( "LastResult": "Server unreachable since 11:55:00"}})");
    const Outcome run = Tavrin({"status", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    QJsonParseError error{};
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(run.output), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.output;
    EXPECT_EQ(json["server"].toString(), "time.example.org");
    EXPECT_EQ(json["reachable"].toBool(true), false);
    EXPECT_EQ(json["source_name"].toString(), "NTP");
    EXPECT_EQ(json["state_name"].toString(), "not in sync");
    EXPECT_EQ(json["last_update_usec"].toInteger(), lastUpdate);
    EXPECT_GE(json["last_update_age_sec"].toInteger(), 42);
    EXPECT_EQ(json["offset_usec"].toInteger(), -1234567);
    EXPECT_EQ(json["error_bound_usec"].toInteger(), 1200000);
    EXPECT_TRUE(json["next_update_usec"].isNull());
    EXPECT_EQ(json["failing"].toBool(), true);
    EXPECT_EQ(json["last_result"].toString(), "Server unreachable since 11:55:00");
    EXPECT_EQ(json["notice"].toArray().size(), 0);
}

TEST_F(Tavrinctl, UpdateAsksOnceAndTellsWhatCameOfIt)
{
    StartService("{" + Properties()
                 + R"(, "Update": {"set": {"LastResult": "Last update 12:00:05: clock stepped by +3 s"}}})");
    const Outcome run = Tavrin({"update"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "192.0.2.1: Last update 12:00:05: clock stepped by +3 s\n");
    EXPECT_EQ(NextCall("Update"), "CALL Update [] interactive=False");
}

TEST_F(Tavrinctl, AnUpdateThatFailsSaysSoOnStandardError)
{
    StartService("{" + Properties()
                 + R"(, "Update": {"set": {"Failing": true, "Reachable": false,)"
                   R"( "LastResult": "Server unreachable since 12:00:05"}}})");
    const Outcome run = Tavrin({"update"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "tavrinctl: the update from 192.0.2.1 failed: Server unreachable since 12:00:05\n");
}

TEST_F(Tavrinctl, SetServerStoresAGoodAddressAndPrintsTheRefusalOfABadOne)
{
    StartService(
        "{" + Properties()
        + R"(, "SetServer": {"store": "Server", "refuse": {"300.1.1.1": )"
          R"(["org.freedesktop.DBus.Error.InvalidArgs", "300.1.1.1 is neither an IPv4 address nor a host name"]}}})");
    Outcome run = Tavrin({"set-server", "time.example.org"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "The service asks time.example.org from now on.\n");
    EXPECT_EQ(NextCall("SetServer"), R"(CALL SetServer ["time.example.org", false] interactive=False)");
    EXPECT_NE(Tavrin({"status", "--json"}).output.find(R"("server": "time.example.org")"), std::string::npos);

    run = Tavrin({"set-server", "300.1.1.1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "tavrinctl: the service refused '300.1.1.1': 300.1.1.1 is neither an IPv4 address nor a "
                          "host name\n");
}

// A service whose words carry escape sequences and line breaks: what reaches the terminal is
// escaped, one row for each property.
TEST_F(Tavrinctl, TheServicesWordsReachTheTerminalEscapedOneRowEach)
{
    const std::string forged = R"(ok\n Reachable: yes\r\u001b]0;owned\u0007\u001b[2J\u009b31m)";
    StartService(R"({"properties": {"Server": "a\u001b[8m", "LastUpdateUSec": )" + std::to_string(lastUpdate)
                 + R"(, "LastResult": ")" + forged + R"(", "Notice": "one\u007f\ntwo"}, "Update": {}, "SetServer":)"
                 + R"( {"refuse": {"b": ["com.dovetra.TavrinClient1.Error.ServerOverridden", "c\n\u001b"]}}})");
    const std::string shown = R"(ok\n Reachable: yes\r\x1b]0;owned\a\x1b[2J\xc2\x9b31m)";
    const std::string status = Tavrin({"status"}).output;
    EXPECT_EQ(status.find_first_of("\x1b\x07\r\x7f"), std::string::npos) << status;
    EXPECT_NE(status.find("Last result: " + shown + "\n     Notice: one\\x7f\n             two\n"), std::string::npos)
        << status;
    const std::regex row(R"((^|\n) *[A-Z][a-z ]+: )"); // nine labels, the notices' second line under the first
    EXPECT_EQ(std::distance(std::sregex_iterator(status.begin(), status.end(), row), std::sregex_iterator()), 9);
    EXPECT_EQ(Tavrin({"update"}).output, "a\\x1b[8m: " + shown + "\n");
    EXPECT_EQ(Tavrin({"set-server", "b"}).errors, "tavrinctl: the service refused 'b': c\\n\\x1b\n");
}

TEST_F(Tavrinctl, OnATerminalAPasswordMayBeAsked)
{
    StartService("{" + Properties() + R"(, "SetServer": {"store": "Server"}})");
    const Outcome run = Tavrin({"set-server", "192.0.2.9"}, true);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(NextCall("SetServer"), R"(CALL SetServer ["192.0.2.9", true] interactive=True)");
}

TEST_F(Tavrinctl, ARefusalByTheRulesIsNotAllowed)
{
    StartService(
        "{" + Properties()
        + R"(, "Update": {"error": ["org.freedesktop.DBus.Error.AccessDenied", "polkit says no"]},)"
          R"( "SetServer": {"error": ["org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", "ask"]}})");
    Outcome run = Tavrin({"update"});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_EQ(run.errors, "tavrinctl: not allowed: polkit says no (ask an administrator, or use sudo)\n");
    run = Tavrin({"set-server", "192.0.2.9"});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_EQ(run.errors, "tavrinctl: not allowed without a password: run tavrinctl on a terminal, or with sudo\n");
}

TEST_F(Tavrinctl, CheckGivesEachOutcomeAsAMonitoringPlugin)
{
    lastUpdate = NowUsec() - 1000 * kSecond;
    StartService("{" + Properties() + "}");
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        const char* word;
    } cases[] = {
        {{"check", "--warn", "2000", "--crit", "3000"}, 0, "OK"},
        {{"check"}, 1, "WARNING"},
        {{"check", "-w", "100", "-c", "500"}, 2, "CRITICAL"},
    };
    for (const auto& c : cases) {
        const Outcome run = Tavrin(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(std::regex_match(run.output, std::regex(std::string("TAVRIN ") + c.word
                                                            + R"( - last update (\d+) s ago, offset -0\.012 s )"
                                                              R"(\| age=\1s;\d+;\d+ offset=-0\.012345s\n)")))
            << run.output;
        EXPECT_EQ(run.errors, "");
    }
    const Outcome wrong = Tavrin({"check", "--warn", "soon"});
    EXPECT_EQ(wrong.exitCode, 3);
    EXPECT_EQ(wrong.output, "TAVRIN UNKNOWN - --warn takes whole seconds, not 'soon' (try tavrinctl --help)\n");
}

TEST_F(Tavrinctl, AWrongCommandLineIsRefusedAndAsksNothing)
{
    StartService("{" + Properties() + "}");
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {"statsu"}, {"update", "--bogus"}, {"set-server"}, {"update", "--json"}}) {
        const Outcome run = Tavrin(wrong);
        EXPECT_EQ(run.exitCode, 2) << wrong.front();
        EXPECT_EQ(run.output, "");
        EXPECT_TRUE(run.errors.starts_with("tavrinctl: ") && run.errors.ends_with(" (try --help)\n")) << run.errors;
    }
    // The first call the service sees is the one of a right command line after them.
    EXPECT_EQ(Tavrin({"status"}).exitCode, 0);
    EXPECT_EQ(service->ReadLine(5s).value_or("nothing"),
              R"(CALL GetAll ["com.dovetra.TavrinClient1"] interactive=False)");
}

TEST_F(Tavrinctl, WithoutTheServiceItSaysHowToStartIt)
{
    const std::string advice = "the service is not running: systemctl start tavrin-clientd";
    for (const char* command : {"status", "update"}) {
        const Outcome run = Tavrin({command});
        EXPECT_EQ(run.exitCode, 3) << command;
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.errors, "tavrinctl: " + advice + "\n");
    }
    const Outcome check = Tavrin({"check"});
    EXPECT_EQ(check.exitCode, 2);
    EXPECT_EQ(check.output, "TAVRIN CRITICAL - " + advice + "\n");
}

TEST_F(Tavrinctl, WithoutASystemBusItSaysSoAtOnce)
{
    busAddress = "unix:path=/nonexistent/tavrin-system-bus";
    const std::string words = "no system bus at " + busAddress + " (nothing listens there): is D-Bus running? ";
    const Outcome run = Tavrin({"update"}, false, 2s);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.errors, "tavrinctl: " + words + "systemctl status dbus\n");
}

TEST_F(Tavrinctl, ABusThatNeverAnswersHoldsItOnlyAFewSeconds)
{
    testsupport::SilentBus silent(testsupport::SilentBus::Silence::AfterAuthentication);
    ASSERT_FALSE(silent.Address().empty());
    busAddress = silent.Address();
    const Outcome run = Tavrin({"status"}, false, 10s);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.errors, "tavrinctl: the system bus at " + busAddress
                              + " cannot be reached, or does not answer within 3 s: is D-Bus running? "
                                "systemctl status dbus\n");
    EXPECT_GE(silent.Connections(), 1);
}

TEST_F(Tavrinctl, AServiceThatNeverAnswersHoldsItOnlyAFewSeconds)
{
    StartService(R"({"hang": true})");
    const Outcome run = Tavrin({"check"}, false, 10s);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "TAVRIN CRITICAL - the service did not answer within 5 s: journalctl -u tavrin-clientd "
                          "may tell why\n");
    EXPECT_NE(NextCall("GetAll"), "no call of GetAll");
}

} // namespace
