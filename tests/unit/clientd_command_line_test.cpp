// tavrin-clientd's command line.

#include "service/command_line.h"

#include <gtest/gtest.h>

using service::CommandLine;
using Action = CommandLine::Action;

TEST(ClientdCommandLine, TakesTheSettingsFileTheDropInFolderAndDryRun)
{
    const struct {
        std::vector<std::string> arguments;
        Action action;
        std::string configFile;
        std::string configDir;
        bool dryRun;
        std::string error;
    } cases[] = {
        {{}, Action::Run, "", "", false, ""},
        {{"--dry-run"}, Action::Run, "", "", true, ""},
        {{"--config", "/tmp/a.conf"}, Action::Run, "/tmp/a.conf", "", false, ""},
        {{"--config=/tmp/a.conf"}, Action::Run, "/tmp/a.conf", "", false, ""},
        {{"--config-dir", "/tmp/d"}, Action::Run, "", "/tmp/d", false, ""},
        {{"--config-dir=/tmp/d", "--config", "/tmp/a.conf", "--dry-run"},
         Action::Run,
         "/tmp/a.conf",
         "/tmp/d",
         true,
         ""},
        {{"--config-dir", "/tmp/d", "--config-dir", "/tmp/e"}, Action::Run, "", "/tmp/e", false, ""},
        {{"--config"}, Action::UsageError, "", "", false, "--config needs a file"},
        {{"--config="}, Action::UsageError, "", "", false, "--config needs a file"},
        {{"--config-dir"}, Action::UsageError, "", "", false, "--config-dir needs a folder"},
        {{"--config-dir", ""}, Action::UsageError, "", "", false, "--config-dir needs a folder"},
        {{"--config-dir="}, Action::UsageError, "", "", false, "--config-dir needs a folder"},
        {{"--config-directory=/tmp/d"},
         Action::UsageError,
         "",
         "",
         false,
         "unknown option '--config-directory=/tmp/d'"},
        {{"--version"}, Action::Version, "", "", false, ""},
        {{"--config-dir", "/tmp/d", "--help"}, Action::Help, "", "/tmp/d", false, ""},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments)
            shown += " [" + argument + "]";
        SCOPED_TRACE(shown);
        const CommandLine line = service::ParseCommandLine(c.arguments);
        EXPECT_EQ(line.action, c.action);
        EXPECT_EQ(line.error, c.error);
        if (c.action == Action::UsageError)
            continue;
        EXPECT_EQ(line.configFile, c.configFile);
        EXPECT_EQ(line.configDir, c.configDir);
        EXPECT_EQ(line.dryRun, c.dryRun);
    }
    // Every option is in the help, which the manual page is made from.
    for (const char* option : {"--config FILE", "--config-dir", "--dry-run", "--help", "--version"})
        EXPECT_NE(service::HelpText().find(option), std::string::npos) << option;
}
