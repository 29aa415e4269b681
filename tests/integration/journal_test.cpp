// The log before a journal: journal-probe logs as the service does, in a mount namespace of
// its own where it listens at the journal's socket itself, and hands over what arrived.

#include "platform/log_events.h"
#include "tests/support/child_process.h"
#include "tests/support/journal_fields.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using testsupport::DecodeJournalDatagram;
using testsupport::FromHex;
using Fields = testsupport::JournalFields;

struct ProbeRun {
    std::string choice; // "journal" or "stderr"
    std::vector<Fields> datagrams;
    std::string errors;
};

// Runs journal-probe in `mode`; nothing when the system grants it no mount namespace.
std::optional<ProbeRun> RunProbe(const std::string& mode, std::string& whyNot)
{
    testsupport::ChildProcess probe({TAVRIN_JOURNAL_PROBE, mode});
    EXPECT_TRUE(probe.WaitForExit());
    if (probe.ExitCode() == 77) {
        whyNot = probe.Errors();
        return std::nullopt;
    }
    EXPECT_EQ(probe.ExitCode(), 0) << probe.Errors();
    ProbeRun run;
    run.choice = probe.ReadLine().value_or("");
    while (const std::optional<std::string> line = probe.ReadLine())
        run.datagrams.push_back(DecodeJournalDatagram(FromHex(*line)));
    run.errors = probe.Errors();
    return run;
}

} // namespace

TEST(Journal, EventsAndLinesArriveWithTheirFields)
{
    std::string whyNot;
    const std::optional<ProbeRun> run = RunProbe("connected", whyNot);
    if (!run)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(run->choice, "journal");
    EXPECT_EQ(run->errors, ""); // everything went to the journal
    // The debug line is off, and did not come before the marker.
    ASSERT_EQ(run->datagrams.size(), 2u);

    const Fields& event = run->datagrams[0];
    EXPECT_EQ(event.at("MESSAGE"), "clock stepped by -2.500 s");
    EXPECT_EQ(event.at("PRIORITY"), "6");
    EXPECT_EQ(event.at("MESSAGE_ID"), platform::kClockStepped);
    EXPECT_EQ(event.at("CODE_CATEGORY"), "tavrin.sync");
    EXPECT_EQ(event.at(std::string(platform::kFieldOffsetUsec)), "-2500000");
    EXPECT_EQ(event.at(std::string(platform::kFieldServer)), "192.0.2.1");
    EXPECT_EQ(event.at(std::string(platform::kFieldReason)), "two\nlines");

    const Fields& line = run->datagrams[1];
    EXPECT_EQ(line.at("MESSAGE"), "reply connection from 192.0.2.9 refused");
    EXPECT_EQ(line.at("PRIORITY"), "4");
    EXPECT_EQ(line.at("CODE_CATEGORY"), "tavrin.net");
    EXPECT_EQ(line.count("MESSAGE_ID"), 0u); // the event before it lent it nothing
    EXPECT_EQ(line.count(std::string(platform::kFieldServer)), 0u);
}

// Away from the journal, with standard error sent elsewhere, or with no journal to take
// them, the lines read as they always have.
TEST(Journal, StandardErrorOtherwise)
{
    const std::string expected =
        "tavrin.sync: clock stepped by -2.500 s\ntavrin.net: warning: reply connection from 192.0.2.9 refused\n";
    const struct {
        const char* mode;
        const char* choice;
    } cases[] = {
        {"unset", "stderr"},
        {"other-stream", "stderr"},
        {"connected-without-journal", "stderr"},
    };
    for (const auto& [mode, choice] : cases) {
        SCOPED_TRACE(mode);
        std::string whyNot;
        const std::optional<ProbeRun> run = RunProbe(mode, whyNot);
        if (!run)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(run->choice, choice);
        EXPECT_EQ(run->errors, expected);
        EXPECT_TRUE(run->datagrams.empty());
    }
}
