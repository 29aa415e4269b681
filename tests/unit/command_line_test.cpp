#include "app/command_line.h"

#include <gtest/gtest.h>

using app::CommandLine;
using app::ParseCommandLine;

using Action = CommandLine::Action;

TEST(CommandLineOptions, RunByDefaultWithTheWindowHiddenAndTheClockSet)
{
    const CommandLine options = ParseCommandLine({});
    EXPECT_EQ(options.action, Action::Run);
    EXPECT_FALSE(options.dryRun);
    EXPECT_FALSE(options.showWindow);
}

TEST(CommandLineOptions, FlagsCombine)
{
    const CommandLine options = ParseCommandLine({"--dry-run", "--show"});
    EXPECT_EQ(options.action, Action::Run);
    EXPECT_TRUE(options.dryRun);
    EXPECT_TRUE(options.showWindow);
}

TEST(CommandLineOptions, HelpAndVersionWinOverTheRest)
{
    EXPECT_EQ(ParseCommandLine({"--show", "--help"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"-h"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"--version", "--dry-run"}).action, Action::Version);
}

TEST(CommandLineOptions, AnythingElseIsAUsageError)
{
    for (const char* bad : {"--bogus", "-x", "show", "--dry-run=1", ""}) {
        const CommandLine options = ParseCommandLine({"--show", bad});
        EXPECT_EQ(options.action, Action::UsageError) << bad;
        EXPECT_NE(options.error.find('\''), std::string::npos);
        EXPECT_EQ(options.error.find('\n'), std::string::npos);
    }
}
