// tavrinctl's command line, its monitoring check, and the words and exit statuses for what
// may go wrong on the bus. The commands themselves run end to end in tests/e2e/ctl_test.cpp.

#include "ctl/bus_failure.h"
#include "ctl/check.h"
#include "ctl/command_line.h"
#include "ctl/exit_status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

using namespace ctl;
using Action = CommandLine::Action;
using Kind = BusFailure::Kind;

namespace {

constexpr std::uint64_t kSecond = 1'000'000;
constexpr std::uint64_t kNow = 1'715'342'400 * kSecond;

ServiceStatus Kept(std::int64_t ageSeconds)
{
    ServiceStatus status;
    status.server = "192.0.2.1";
    status.reachable = true;
    status.source = 1;
    status.state = 2;
    status.lastUpdateUsec = kNow - ageSeconds * kSecond;
    status.offsetUsec = 12'345;
    status.errorBoundUsec = 4'000;
    status.lastResult = "Last update 11:59:18: clock right (offset +12 ms)";
    return status;
}

} // namespace

TEST(CtlCommandLine, CommandsAndOptionsInAnyOrder)
{
    const struct {
        std::vector<std::string> arguments;
        Action action;
        bool json;
        std::string address;
        std::int64_t warn, crit;
    } cases[] = {
        {{}, Action::Status, false, "", 900, 3600},
        {{"status"}, Action::Status, false, "", 900, 3600},
        {{"--json"}, Action::Status, true, "", 900, 3600},
        {{"--json", "status"}, Action::Status, true, "", 900, 3600},
        {{"status", "--json"}, Action::Status, true, "", 900, 3600},
        {{"update"}, Action::Update, false, "", 900, 3600},
        {{"set-server", "192.0.2.7"}, Action::SetServer, false, "192.0.2.7", 900, 3600},
        {{"set-server", "--", "-odd-"}, Action::SetServer, false, "-odd-", 900, 3600},
        {{"check"}, Action::Check, false, "", 900, 3600},
        {{"check", "--warn", "60", "--crit", "120"}, Action::Check, false, "", 60, 120},
        {{"-w", "0", "-c=5", "check"}, Action::UsageError, false, "", 0, 0},
        {{"-w", "0", "-c", "5", "check"}, Action::Check, false, "", 0, 5},
        {{"check", "--warn=3600", "--crit=3600"}, Action::Check, false, "", 3600, 3600},
        {{"check", "--crit", "100000"}, Action::Check, false, "", 900, 100000},
        {{"update", "--version"}, Action::Version, false, "", 900, 3600},
        {{"--bogus", "--help"}, Action::Help, false, "", 900, 3600},
        {{"check", "-h"}, Action::Help, false, "", 900, 3600},
    };
    for (const auto& c : cases) {
        const CommandLine line = ParseCommandLine(c.arguments);
        std::string shown;
        for (const std::string& argument : c.arguments)
            shown += argument + " ";
        EXPECT_EQ(line.action, c.action) << shown << line.error;
        if (line.action == Action::UsageError)
            continue;
        EXPECT_EQ(line.json, c.json) << shown;
        EXPECT_EQ(line.address, c.address) << shown;
        EXPECT_EQ(line.limits.warnSeconds, c.warn) << shown;
        EXPECT_EQ(line.limits.critSeconds, c.crit) << shown;
    }
}

TEST(CtlCommandLine, WrongOnesSayWhatIsWrongAndWhetherCheckWasMeant)
{
    const struct {
        std::vector<std::string> arguments;
        const char* saying;
        bool forCheck;
    } cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate'", false},
        {{"--bogus"}, "unknown option '--bogus'", false},
        {{"status", "-x"}, "unknown option '-x'", false},
        {{"status", "extra"}, "too many arguments for status: 'extra'", false},
        {{"set-server"}, "set-server needs an address", false},
        {{"set-server", ""}, "set-server needs an address", false},
        {{"set-server", "a", "b"}, "too many arguments for set-server: 'b'", false},
        {{"update", "--json"}, "--json goes with status only", false},
        {{"status", "--warn", "5"}, "--warn goes with check only", false},
        {{"check", "--json"}, "--json goes with status only", true},
        {{"check", "--bogus"}, "unknown option '--bogus'", true},
        {{"--bogus", "check"}, "unknown option '--bogus'", true},
        {{"check", "--warn"}, "--warn needs a number of seconds", true},
        {{"check", "--crit", "-5"}, "--crit takes whole seconds, not '-5'", true},
        {{"check", "--warn", "15m"}, "--warn takes whole seconds, not '15m'", true},
        {{"check", "--warn="}, "--warn takes whole seconds, not ''", true},
        {{"check", "-w", "99999999999999999999"}, "--warn takes whole seconds", true},
        {{"check", "--warn", "4000"}, "--warn 4000 is over --crit 3600", true},
        {{"check", "now"}, "too many arguments for check: 'now'", true},
    };
    for (const auto& c : cases) {
        const CommandLine line = ParseCommandLine(c.arguments);
        ASSERT_EQ(line.action, Action::UsageError) << c.saying;
        EXPECT_NE(line.error.find(c.saying), std::string::npos) << line.error;
        EXPECT_EQ(line.error.find('\n'), std::string::npos) << line.error;
        EXPECT_EQ(line.forCheck, c.forCheck) << c.saying;
    }
}

TEST(CtlCheck, TheAgeOfTheLastUpdateAgainstTheLimits)
{
    const CheckLimits limits{.warnSeconds = 900, .critSeconds = 3600};
    const struct {
        std::int64_t age;
        CheckStatus status;
    } cases[] = {
        {0, CheckStatus::Ok},           {42, CheckStatus::Ok},        {900, CheckStatus::Ok},
        {901, CheckStatus::Warning},    {3600, CheckStatus::Warning}, {3601, CheckStatus::Critical},
        {86400, CheckStatus::Critical}, {-30, CheckStatus::Ok}, // stepped back since: no older than now
    };
    const std::regex form(R"(TAVRIN (OK|WARNING|CRITICAL) - last update (\d+) s ago, offset \+0\.012 s )"
                          R"(\| age=(\d+)s;900;3600 offset=0\.012345s)");
    for (const auto& c : cases) {
        const CheckResult result = CheckService(Kept(c.age), limits, kNow);
        EXPECT_EQ(result.status, c.status) << c.age;
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(result.line, parts, form)) << result.line;
        const char* words[] = {"OK", "WARNING", "CRITICAL"};
        EXPECT_EQ(parts[1], words[static_cast<int>(c.status)]);
        EXPECT_EQ(std::stoll(parts[2]), std::max<std::int64_t>(c.age, 0));
        EXPECT_EQ(parts[2], parts[3]);
    }
}

// A last update later than now, or no time at all, whatever type the property comes as: UNKNOWN.
TEST(CtlCheck, ALastUpdateInTheFutureOrNoTimeAtAllIsUnknown)
{
    const auto at = [](std::int64_t secondsFromNow) -> qulonglong { return kNow + secondsFromNow * kSecond; };
    const std::pair<QVariant, CheckStatus> cases[] = {
        {at(kFutureToleranceSeconds), CheckStatus::Ok},
        {at(kFutureToleranceSeconds + 1), CheckStatus::Unknown},
        {std::numeric_limits<qulonglong>::max(), CheckStatus::Unknown},
        {qlonglong(-5), CheckStatus::Unknown},
        {std::nan(""), CheckStatus::Unknown},
        {1e20, CheckStatus::Unknown}, // beyond 64 bits
        {static_cast<double>(at(-60)), CheckStatus::Ok},
    };
    for (const auto& [lastUpdate, status] : cases) {
        const QVariantMap properties{{"Server", "192.0.2.1"}, {"LastUpdateUSec", lastUpdate}};
        const CheckResult result = CheckService(StatusFromProperties(properties), CheckLimits{}, kNow);
        EXPECT_EQ(result.status, status) << lastUpdate.toString().toStdString() << ": " << result.line;
    }
}

TEST(CtlCheck, NoUpdateNoServerAndFailuresAreCritical)
{
    const CheckLimits limits;
    ServiceStatus status = Kept(42);
    status.lastUpdateUsec = 0;
    status.failing = true;
    status.lastResult = "Server unreachable | since 11:55:00\n";
    const CheckResult never = CheckService(status, limits, kNow);
    EXPECT_EQ(never.status, CheckStatus::Critical);
    EXPECT_EQ(never.line, "TAVRIN CRITICAL - no update yet from 192.0.2.1; Server unreachable / since 11:55:00\\n");

    status.server.clear();
    EXPECT_EQ(CheckService(status, limits, kNow).line, "TAVRIN CRITICAL - no server set: tavrinctl set-server ADDRESS");

    // A failing attempt is told even while the last update is young enough.
    status = Kept(400);
    status.offsetUsec = -2'000'000;
    status.failing = true;
    status.lastResult = "Server unreachable since 11:55:00";
    const CheckResult young = CheckService(status, limits, kNow);
    EXPECT_EQ(young.status, CheckStatus::Ok);
    EXPECT_EQ(young.line, "TAVRIN OK - last update 400 s ago, offset -2 s; Server unreachable since 11:55:00 | "
                          "age=400s;900;3600 offset=-2s");

    const std::pair<Kind, CheckStatus> failures[] = {
        {Kind::NoBus, CheckStatus::Critical},         {Kind::NotRunning, CheckStatus::Critical},
        {Kind::NoAnswer, CheckStatus::Critical},      {Kind::NotAllowed, CheckStatus::Unknown},
        {Kind::PasswordNeeded, CheckStatus::Unknown}, {Kind::Failed, CheckStatus::Unknown},
    };
    for (const auto& [kind, expected] : failures) {
        const CheckResult result = CheckFailure({kind, "what | went\nwrong"});
        EXPECT_EQ(result.status, expected) << result.line;
        EXPECT_EQ(result.line.find_first_of("|\n"), std::string::npos) << result.line;
        EXPECT_TRUE(
            result.line.starts_with(expected == CheckStatus::Critical ? "TAVRIN CRITICAL - " : "TAVRIN UNKNOWN - "))
            << result.line;
    }
}

TEST(CtlBusFailure, ErrorsSortedByWhatTheUserCanDo)
{
    const struct {
        const char* name;
        Kind kind;
        int exitStatus;
        const char* saying;
    } cases[] = {
        {"org.freedesktop.DBus.Error.ServiceUnknown", Kind::NotRunning, kUnreachable,
         "the service is not running: systemctl start tavrin-clientd"},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", Kind::NotRunning, kUnreachable, "systemctl start"},
        {"org.freedesktop.DBus.Error.AccessDenied", Kind::NotAllowed, kNotAllowed, "not allowed: why"},
        {"org.freedesktop.PolicyKit1.Error.NotAuthorized", Kind::NotAllowed, kNotAllowed, "not allowed: why"},
        {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", Kind::PasswordNeeded, kNotAllowed,
         "not allowed without a password: run tavrinctl on a terminal, or with sudo"},
        {"org.freedesktop.DBus.Error.InvalidArgs", Kind::Refused, kFailed, "the service refused: why"},
        {"org.freedesktop.DBus.Error.NoReply", Kind::NoAnswer, kNoAnswer, "why: journalctl -u tavrin-clientd"},
        {"org.freedesktop.DBus.Error.Disconnected", Kind::NoBus, kUnreachable, "why: is D-Bus running?"},
        {"org.freedesktop.DBus.Error.UnknownMethod", Kind::Failed, kFailed,
         "the service failed: why (org.freedesktop.DBus.Error.UnknownMethod)"},
    };
    for (const auto& c : cases) {
        const BusFailure failure = FailureFromError(c.name, "why");
        EXPECT_EQ(failure.kind, c.kind) << c.name;
        EXPECT_EQ(ExitStatusFor(failure), c.exitStatus) << c.name;
        EXPECT_NE(FailureText(failure).find(c.saying), std::string::npos) << FailureText(failure);
    }
}
