// The log before a journal: journal-probe logs as the service does, in a mount namespace of
// its own where it listens at the journal's socket itself, and hands over what arrived.

#include "platform/log_events.h"
#include "tests/support/child_process.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Fields = std::map<std::string, std::string>;

// One datagram of the journal's native protocol: "NAME=value\n" for a value on one line;
// "NAME\n", its length as 64 bits little-endian, the value and "\n" for any other.
Fields Decode(const std::string& datagram)
{
    Fields fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const std::size_t end = datagram.find_first_of("=\n", at);
        if (end == std::string::npos)
            throw std::runtime_error("a field without its end");
        const std::string name = datagram.substr(at, end - at);
        if (datagram[end] == '=') {
            const std::size_t lineEnd = datagram.find('\n', end);
            if (lineEnd == std::string::npos)
                throw std::runtime_error(name + " without its line end");
            fields[name] = datagram.substr(end + 1, lineEnd - end - 1);
            at = lineEnd + 1;
            continue;
        }
        if (end + 9 > datagram.size())
            throw std::runtime_error(name + " without its length");
        std::uint64_t length = 0;
        for (int byte = 7; byte >= 0; --byte)
            length = length << 8 | static_cast<unsigned char>(datagram[end + 1 + static_cast<std::size_t>(byte)]);
        const std::size_t value = end + 9;
        if (value + length + 1 > datagram.size() || datagram[value + length] != '\n')
            throw std::runtime_error(name + " longer than the datagram");
        fields[name] = datagram.substr(value, length);
        at = value + length + 1;
    }
    return fields;
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

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
        run.datagrams.push_back(Decode(FromHex(*line)));
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
