#include "tools/time-server/server_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using timeserver::AddressText;
using timeserver::CommandLine;
using timeserver::ParseCommandLine;

TEST(TimeServerOptions, ValuesComeAfterTheNameOrAfterAnEqualsSign)
{
    const CommandLine line = ParseCommandLine({"--source",
                                               "3",
                                               "--state=0",
                                               "--offset",
                                               "-3600",
                                               "--echo-code=-012",
                                               "--listen-address",
                                               "0.0.0.0",
                                               "--listen-port=0",
                                               "--reply-port",
                                               "7646",
                                               "--multicast-interface",
                                               "127.0.0.2",
                                               "--group-port",
                                               "7649",
                                               "--status-interval",
                                               "0.25",
                                               "--frames",
                                               "2",
                                               "--split",
                                               "--no-reply",
                                               "--close-at-once",
                                               "--reply-delay",
                                               "1.5",
                                               "--phase",
                                               "0.2,0.5",
                                               "--replies=288",
                                               "--reply-interval",
                                               "0.05"});
    ASSERT_EQ(line.action, CommandLine::Action::Run) << line.error;
    const timeserver::ServerOptions& o = line.options;
    EXPECT_EQ(o.source, '3');
    EXPECT_EQ(o.state, '0');
    EXPECT_EQ(o.offsetSeconds, -3600);
    EXPECT_EQ(o.fixedEchoCode, "-012");
    EXPECT_EQ(AddressText(o.listenAddress), "0.0.0.0");
    EXPECT_EQ(o.listenPort, 0);
    EXPECT_EQ(o.replyPort, 7646);
    EXPECT_EQ(AddressText(o.multicastInterface), "127.0.0.2");
    EXPECT_EQ(o.groupPort, 7649);
    EXPECT_EQ(o.statusInterval, 250ms);
    EXPECT_EQ(o.framesPerReply, 2);
    EXPECT_TRUE(o.splitReply && o.noReply && o.closeAtOnce);
    EXPECT_EQ(o.replyDelay, 1500ms);
    EXPECT_EQ(o.phases, (std::vector<std::chrono::milliseconds>{200ms, 500ms}));
    EXPECT_EQ(o.repliesPerRequest, 288);
    EXPECT_EQ(o.replyInterval, 50ms);
}

TEST(TimeServerOptions, AddressesReadBackAsTheyWereGiven)
{
    for (const std::string dotted : {"0.0.0.0", "127.0.0.1", "10.20.30.40", "224.0.0.1", "255.255.255.255"}) {
        const CommandLine line = ParseCommandLine({"--listen-address", dotted, "--multicast-interface=" + dotted});
        ASSERT_EQ(line.action, CommandLine::Action::Run) << line.error;
        EXPECT_EQ(AddressText(line.options.listenAddress), dotted);
        EXPECT_EQ(AddressText(line.options.multicastInterface), dotted);
    }
}

TEST(TimeServerOptions, RawTextIsTakenAsItStands)
{
    const CommandLine raw = ParseCommandLine({"--raw", "--x=y", "--echo-code", "request"});
    ASSERT_EQ(raw.action, CommandLine::Action::Run) << raw.error;
    EXPECT_EQ(raw.options.rawReply, "--x=y");
    EXPECT_FALSE(raw.options.fixedEchoCode);

    // A fixed echo code would never be sent, which is surely not what was meant.
    EXPECT_EQ(ParseCommandLine({"--raw", "x", "--echo-code", "0042"}).action, CommandLine::Action::UsageError);
}

TEST(TimeServerOptions, HelpWinsOverTheRest)
{
    EXPECT_EQ(ParseCommandLine({"--source", "1", "--help", "--bogus"}).action, CommandLine::Action::Help);
    EXPECT_EQ(ParseCommandLine({"-h"}).action, CommandLine::Action::Help);
}

TEST(TimeServerOptions, BadOptionsAreUsageErrorsOnOneLine)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"listen"}, "unknown option 'listen'"},
        {{"--source"}, "option '--source' needs a value"},
        {{"--source", "12"}, "expected one digit"},
        {{"--state", "x"}, "expected one digit"},
        {{"--state="}, "expected one digit"},
        {{"--split=1"}, "option '--split' takes no value"},
        {{"--listen-port", "65536"}, "expected a port number from 0 to 65535"},
        {{"--reply-port", "0"}, "expected a port number from 1 to 65535"},
        {{"--group-port", "-1"}, "port number"},
        {{"--listen-address", "localhost"}, "dotted IPv4 address"},
        {{"--multicast-interface", "127.0.0"}, "dotted IPv4 address"},
        {{"--offset", "1e3"}, "expected seconds"},
        {{"--offset", "99999999999"}, "expected seconds"},
        {{"--status-interval", "-1"}, "three decimals"},
        {{"--status-interval", "0.0001"}, "three decimals"},
        {{"--status-interval", "1."}, "three decimals"},
        {{"--status-interval", ".5"}, "three decimals"},
        {{"--reply-delay", "86400.001"}, "three decimals"},
        {{"--frames", "0"}, "expected a count from 1 to 100"},
        {{"--echo-code", "123"}, "exactly four characters"},
        {{"--phase", "1"}, "fractions of a second from 0 to 0.999"},
        {{"--phase", "0.5,"}, "fractions of a second"},
        {{"--phase", "0.0005"}, "three decimals"},
        {{"--replies", "0"}, "expected a count from 1 to 100000"},
        {{"--reply-interval", "x"}, "three decimals"},
        {{"--echo-code", "12}4"}, "without braces"},
    };
    for (const auto& [arguments, expected] : cases) {
        const CommandLine line = ParseCommandLine(arguments);
        const std::string shown = testing::PrintToString(arguments);
        EXPECT_EQ(line.action, CommandLine::Action::UsageError) << shown;
        EXPECT_THAT(line.error, testing::HasSubstr(expected)) << shown;
        EXPECT_EQ(line.error.find('\n'), std::string::npos) << shown;
    }
}

TEST(TimeServerOptions, DurationsTakeUpToThreeDecimals)
{
    EXPECT_EQ(ParseCommandLine({"--status-interval", "0"}).options.statusInterval, 0ms);
    EXPECT_EQ(ParseCommandLine({"--status-interval", "0.1"}).options.statusInterval, 100ms);
    EXPECT_EQ(ParseCommandLine({"--status-interval", "2.05"}).options.statusInterval, 2050ms);
    EXPECT_EQ(ParseCommandLine({"--status-interval", "86400"}).options.statusInterval, 86400s);
}
