#include "service/clientd_config.h"
#include "service/server_name.h"
#include "tests/support/file_content.h"

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <gtest/gtest.h>

namespace service {

// So that a failed comparison shows the settings, not their bytes.
void PrintTo(const ClientdSettings& settings, std::ostream* out)
{
    *out << "{Server=" << settings.server << " MaxStepSec=" << settings.maxStep.count()
         << " PollIntervalSec=" << settings.pollInterval.count() << " MetricsFile=" << settings.metricsFile << "}";
}

void PrintTo(ConfigDiagnostic::Severity severity, std::ostream* out)
{
    constexpr const char* kNames[] = {"warning", "error", "fatal"};
    *out << kNames[static_cast<int>(severity)];
}

} // namespace service

using namespace service;
using Severity = ConfigDiagnostic::Severity;
using std::chrono::seconds;

namespace {

// A configuration of a test's own: the main file and the drop-in folder in a fresh folder.
class ConfigFolder {
public:
    ConfigFolder() : top_(folder_.path().toStdString()) {}

    std::string Main() const { return top_ + "/clientd.conf"; }
    std::string DropIns() const { return top_ + "/clientd.conf.d"; }
    std::string DropIn(const std::string& name) const { return DropIns() + "/" + name; }

    void Write(const std::string& path, const std::string& content) const
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    ClientdConfig Read() const { return ReadClientdConfig(Main(), DropIns()); }

private:
    QTemporaryDir folder_;
    std::string top_;
};

// What a diagnostic must say: its severity, its file (the main file, or a drop-in by name),
// its line, and a piece of its text.
struct Expected {
    Severity severity;
    std::string file;
    int line;
    std::string says;
};

ClientdSettings With(std::string server, seconds maxStep = seconds(0), seconds poll = seconds(300),
                     std::string metrics = {})
{
    return {std::move(server), maxStep, poll, std::move(metrics)};
}

} // namespace

TEST(ServerName, IPv4AddressesAndHostNamesOfRfc1123)
{
    const struct {
        std::string name;
        bool accepted;
    } cases[] = {
        {"192.0.2.1", true},
        {"0.0.0.0", true},
        {"time", true},
        {"time.example.org", true},
        {"TIME-1.Example.ORG", true},
        {"1a.example", true}, // labels may start with a digit
        {"host.123a", true},  // a last label with a letter in it
        {std::string(63, 'a') + ".example", true},
        {std::string(64, 'a') + ".example", false},
        {"", false},
        {"192.0.2.256", false}, // no address, and all digits at the end: no name either
        {"192.0.2", false},
        {"192.0.2.01", false},
        {"1.2.3.4.5", false},
        {"-time.example", false},
        {"time-.example", false},
        {"time..example", false},
        {".example", false},
        {"example.", false},
        {"time example", false},
        {"time_1.example", false},
        {"tïme.example", false},
        {"time.example\nServer=other", false},
        {std::string("192.0.2.1\0junk", 14), false},
        {"[::1]", false},
        {"::1", false},
    };
    for (const auto& [name, accepted] : cases)
        EXPECT_EQ(IsServerName(name), accepted) << '"' << name << '"';

    // 253 characters at most, whatever the labels.
    std::string longest;
    while (longest.size() + 50 <= 253)
        longest += std::string(49, 'a') + ".";
    longest += std::string(253 - longest.size(), 'b');
    ASSERT_EQ(longest.size(), 253u);
    EXPECT_TRUE(IsServerName(longest));
    EXPECT_FALSE(IsServerName(longest + "b"));
}

TEST(ServerName, SaysWhyANameIsRefused)
{
    const struct {
        std::string name;
        std::string why; // empty: accepted
    } cases[] = {
        {"192.0.2.1", ""},
        {"time.example.org", ""},
        {"", "it is empty"},
        {"time example", "it holds a space"},
        {"time_1.example", "it holds '_'"},
        {"t\xC3\xAFme.example", "it holds \\xC3"},
        {"time.example\nServer=other", "it holds \\x0A"},
        {std::string("192.0.2.1\0junk", 14), "it holds \\x00"},
        {"192.0.2.256", "it is no IPv4 address"},
        {"1.2.3.4.5", "it is no IPv4 address"},
        {"time..example", "an empty label"},
        {"example.", "an empty label"},
        {"-time.example", "the label \"-time\" starts or ends with a hyphen"},
        {"time.example-", "the label \"example-\" starts or ends with a hyphen"},
        {std::string(64, 'a') + ".example", "the label \"" + std::string(64, 'a') + "\" is longer than 63"},
        {"host.123", "its last label \"123\" is all digits"},
        {std::string(254, 'a'), "longer than 253 characters"},
    };
    for (const auto& c : cases) {
        const std::string fault = ServerNameFault(c.name);
        if (c.why.empty())
            EXPECT_EQ(fault, "") << c.name;
        else
            EXPECT_NE(fault.find(c.why), std::string::npos) << '"' << c.name << "\": " << fault;
        EXPECT_EQ(IsServerName(c.name), fault.empty()) << c.name;
    }
}

TEST(ClientdConfig, FilesLinesAndValues)
{
    const struct {
        const char* what;
        std::string main;
        std::vector<std::pair<std::string, std::string>> dropIns;
        ClientdSettings settings;
        std::vector<Expected> diagnostics;
    } cases[] = {
        {"nothing at all", {}, {}, With(""), {}},
        {"every key",
         "[Time]\nServer=time.example.org\nMaxStepSec=600\nPollIntervalSec=64\nMetricsFile=/var/lib/m/t.prom\n",
         {},
         With("time.example.org", seconds(600), seconds(64), "/var/lib/m/t.prom"),
         {}},
        {"comments, blank lines, blanks around =, CR LF line ends, no final line end",
         "# a comment\n; another\n\n  [Time]  \r\n\tServer \t=  192.0.2.1 \r\n  # Server=ignored\nMaxStepSec= 5",
         {},
         With("192.0.2.1", seconds(5)),
         {}},
        {"a later line wins", "[Time]\nServer=a.example\nServer=b.example\n", {}, With("b.example"), {}},
        {"an empty value brings the default back",
         "[Time]\nServer=a.example\nPollIntervalSec=20\nMaxStepSec=9\nServer=\nPollIntervalSec=\nMaxStepSec=\n",
         {},
         With(""),
         {}},
        {"drop-ins in the order of their names, over the main file",
         "[Time]\nServer=main.example\nMaxStepSec=1\n",
         {{"20-b.conf", "[Time]\nServer=b.example\n"},
          {"10-a.conf", "[Time]\nServer=a.example\nPollIntervalSec=30\n"},
          {"30-c.conf", "[Time]\nPollIntervalSec=40\n"}},
         With("b.example", seconds(1), seconds(40)),
         {}},
        {"only *.conf, never hidden files",
         "[Time]\nServer=main.example\n",
         {{"50-server.conf.orig", "[Time]\nServer=orig.example\n"},
          {".50-server.conf.Ab12Cd", "[Time]\nServer=half-written.example\n"},
          {".conf", "[Time]\nServer=hidden.example\n"},
          {".hidden.conf", "[Time]\nServer=hidden.example\n"},
          {"README", "Server=readme.example\n"}},
         With("main.example"),
         {}},
        {"keys elsewhere than [Time] are ignored with a warning",
         "Server=before.example\n[Network]\nServer=network.example\n[Time]\nMaxStepSec=3\n[time]\nMaxStepSec=4\n",
         {},
         With("", seconds(3)),
         {{Severity::Warning, "main", 1, "Server before any section ignored"},
          {Severity::Warning, "main", 3, "Server in section [Network] ignored"},
          {Severity::Warning, "main", 7, "MaxStepSec in section [time] ignored"}}},
        {"unknown keys are warnings; keys are case-sensitive",
         "[Time]\nServr=typo.example\nserver=lower.example\nServer=right.example\n",
         {},
         With("right.example"),
         {{Severity::Warning, "main", 2, "unknown key Servr ignored"},
          {Severity::Warning, "main", 3, "unknown key server ignored"}}},
        {"bad values are errors and keep what was there before",
         "[Time]\nServer=good.example\nMaxStepSec=7\nPollIntervalSec=100\nMetricsFile=/m.prom\n"
         "Server=bad name\nMaxStepSec=-1\nMaxStepSec=5min\nMaxStepSec=99999999999999999999\n"
         "PollIntervalSec=15\n",
         {{"10-more.conf", "[Time]\nPollIntervalSec=86401\nPollIntervalSec=+20\nMetricsFile=relative.prom\n"
                           "MetricsFile=/var/lib/\n"}},
         With("good.example", seconds(7), seconds(100), "/m.prom"),
         {{Severity::Error, "main", 6, "bad value for Server: \"bad name\""},
          {Severity::Error, "main", 7, "bad value for MaxStepSec: \"-1\""},
          {Severity::Error, "main", 8, "bad value for MaxStepSec: \"5min\""},
          {Severity::Error, "main", 9, "bad value for MaxStepSec"},
          {Severity::Error, "main", 10, "bad value for PollIntervalSec: \"15\" is not whole seconds from 16 to 86400"},
          {Severity::Error, "10-more.conf", 2, "bad value for PollIntervalSec: \"86401\""},
          {Severity::Error, "10-more.conf", 3, "bad value for PollIntervalSec: \"+20\""},
          {Severity::Error, "10-more.conf", 4, "bad value for MetricsFile: \"relative.prom\""},
          {Severity::Error, "10-more.conf", 5, "bad value for MetricsFile: \"/var/lib/\""}}},
        {"the limits of the poll interval hold", "[Time]\nPollIntervalSec=16\n", {}, With("", {}, seconds(16)), {}},
        {"a bad value in a drop-in keeps the earlier file's value",
         "[Time]\nPollIntervalSec=60\n",
         {{"10-x.conf", "\n[Time]\nPollIntervalSec=1\n"}},
         With("", {}, seconds(60)),
         {{Severity::Error, "10-x.conf", 3, "bad value for PollIntervalSec"}}},
        {"lines that are no setting, and a bad header whose keys are ignored",
         "[Time]\njust words\n=value\n[Time\nServer=under-bad-header.example\n[Time]\nServer=ok.example\n",
         {},
         With("ok.example"),
         {{Severity::Error, "main", 2, "not a setting (KEY=value): just words"},
          {Severity::Error, "main", 3, "not a setting"},
          {Severity::Error, "main", 4, "bad section header [Time"}}},
        {"a # after a value is part of it, as in systemd's files",
         "[Time]\nServer=ok.example\nServer=a.example # the usual one\n",
         {},
         With("ok.example"),
         {{Severity::Error, "main", 3, "bad value for Server"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConfigFolder folder;
        if (!c.main.empty())
            folder.Write(folder.Main(), c.main);
        for (const auto& [name, content] : c.dropIns)
            folder.Write(folder.DropIn(name), content);
        const ClientdConfig config = folder.Read();
        EXPECT_EQ(config.settings, c.settings);
        EXPECT_FALSE(config.Fatal());
        ASSERT_EQ(config.diagnostics.size(), c.diagnostics.size());
        for (std::size_t i = 0; i < c.diagnostics.size(); ++i) {
            const ConfigDiagnostic& found = config.diagnostics[i];
            const Expected& expected = c.diagnostics[i];
            EXPECT_EQ(found.severity, expected.severity) << found.Where();
            EXPECT_EQ(found.file, expected.file == "main" ? folder.Main() : folder.DropIn(expected.file));
            EXPECT_EQ(found.line, expected.line) << found.Where();
            EXPECT_NE(found.text.find(expected.says), std::string::npos) << found.Where();
            EXPECT_EQ(found.Where().rfind(found.file + ":" + std::to_string(expected.line) + ": ", 0), 0u)
                << found.Where();
        }
    }
}

// Whatever a file holds, the log gets little of it: a few diagnostics a file and a count of
// the rest, short escaped pieces of lines, the file that was read named; and no value with
// a control character in it is taken.
TEST(ClientdConfig, WhatTheLogGetsOfAFileIsFewShortEscapedLines)
{
    std::string junk; // a MiB of lines that are no settings, control characters among them
    for (int i = 0; junk.size() < (1 << 20) - 64; ++i)
        junk += "junk \x1b[2J\r line " + std::to_string(i) + "\n";
    std::vector<std::pair<std::string, std::string>> twentyJunk;
    for (int i = 10; i < 30; ++i)
        twentyJunk.emplace_back(std::to_string(i) + "-junk.conf", junk);
    const std::string longLine(1000, 'A');
    const struct {
        std::string main;
        std::vector<std::pair<std::string, std::string>> dropIns;
        std::size_t count;         // diagnostics in all
        std::vector<Expected> has; // among them, in this order
        std::string server;
    } cases[] = {
        {"[Time]\nServer=a.example\nMetricsFile=/a\r.prom\nServer=b\x1b[31m\nMaxStepSec=3\t0\n"
         "Ser\x07ver=c\n[T\x7fme]\nX=1",
         {},
         5,
         {{Severity::Error, "main", 3, "MetricsFile: \"/a\\r.prom\" holds a control character"},
          {Severity::Error, "main", 4, "\"b\\x1b[31m\" holds"},
          {Severity::Warning, "main", 6, "unknown key Ser\\aver ignored"},
          {Severity::Warning, "main", 8, "X in section [T\\x7fme] ignored"}},
         "a.example"},
        {"[Time]\n" + longLine + "\nServer=127.0.0.1 127.0.0.2\n",
         {{"90-local.conf", "[Time]\nServer=::1\nServer=" + longLine + "\n"}}, // no file but the one read named
         4,
         {{Severity::Error, "main", 2, "not a setting (KEY=value): " + longLine.substr(0, 40) + "…"},
          {Severity::Error, "main", 3, "\"127.0.0.1 127.0.0.2\" is not an IPv4 address or a host name"},
          {Severity::Error, "90-local.conf", 2, "\"::1\""},
          {Severity::Error, "90-local.conf", 3, "\"" + longLine.substr(0, 40) + "…\" is not"}},
         ""},
        {"[Time]\nServer=ok.example\n",
         twentyJunk,
         20 * (kDiagnosticsPerFile + 1),
         {{Severity::Error, "10-junk.conf", 1, "not a setting (KEY=value): junk \\x1b[2J\\r line 0"},
          {Severity::Error, "10-junk.conf", 0, "more in this file, not shown"}},
         "ok.example"},
    };
    for (const auto& c : cases) {
        const ConfigFolder folder;
        folder.Write(folder.Main(), c.main);
        for (const auto& [name, content] : c.dropIns)
            folder.Write(folder.DropIn(name), content);
        const ClientdConfig config = folder.Read();
        EXPECT_EQ(config.settings, With(c.server));
        EXPECT_EQ(config.diagnostics.size(), c.count);
        auto next = c.has.begin();
        for (const ConfigDiagnostic& found : config.diagnostics) {
            const std::string line = found.Where();
            EXPECT_LE(line.size(), found.file.size() + 160) << line;
            EXPECT_FALSE(std::any_of(line.begin(), line.end(), [](unsigned char b) { return b < 0x20 || b == 0x7f; }))
                << line;
            if (next != c.has.end() && found.severity == next->severity && found.line == next->line
                && found.file == (next->file == "main" ? folder.Main() : folder.DropIn(next->file))
                && found.text.find(next->says) != std::string::npos)
                ++next;
        }
        EXPECT_EQ(next, c.has.end()) << "not found in order: " << next->says;
    }
}

TEST(ClientdConfig, FilesThatCannotBeReadAreFatalAndAllAreTold)
{
    const struct {
        const char* what;
        std::function<void(const ConfigFolder&)> make;
        std::string file; // "main", "folder" or a drop-in's name
        std::string says;
    } cases[] = {
        {"the main file is a folder", [](const ConfigFolder& f) { std::filesystem::create_directories(f.Main()); },
         "main", "is a folder"},
        {"a drop-in is a folder",
         [](const ConfigFolder& f) { std::filesystem::create_directories(f.DropIn("10-x.conf")); }, "10-x.conf",
         "is a folder"},
        {"a drop-in is a fifo",
         [](const ConfigFolder& f) {
             std::filesystem::create_directories(f.DropIns());
             ASSERT_EQ(mkfifo(f.DropIn("10-x.conf").c_str(), 0644), 0);
         },
         "10-x.conf", "not a regular file"},
        {"the main file is larger than any settings file",
         [](const ConfigFolder& f) { f.Write(f.Main(), "[Time]\n" + std::string(1 << 20, '#')); }, "main",
         "larger than 1 MiB"},
        {"the drop-in folder is a file", [](const ConfigFolder& f) { f.Write(f.DropIns(), "[Time]\n"); }, "folder",
         "cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConfigFolder folder;
        c.make(folder);
        // A good drop-in beside it is still read: the fault does not hide the rest.
        if (c.file != "folder")
            folder.Write(folder.DropIn("20-good.conf"), "[Time]\nServer=good.example\nNoSuchKey=1\n");
        const ClientdConfig config = folder.Read();
        EXPECT_TRUE(config.Fatal());
        ASSERT_FALSE(config.diagnostics.empty());
        const ConfigDiagnostic& fatal = config.diagnostics.front();
        EXPECT_EQ(fatal.severity, Severity::Fatal);
        const std::string file = c.file == "main"   ? folder.Main()
                               : c.file == "folder" ? folder.DropIns()
                                                    : folder.DropIn(c.file);
        EXPECT_EQ(fatal.file, file);
        EXPECT_EQ(fatal.line, 0);
        EXPECT_EQ(fatal.Where().rfind(file + ": ", 0), 0u) << fatal.Where();
        EXPECT_NE(fatal.text.find(c.says), std::string::npos) << fatal.Where();
        if (c.file != "folder") {
            EXPECT_EQ(config.settings.server, "good.example");
            ASSERT_EQ(config.diagnostics.size(), 2u);
            EXPECT_EQ(config.diagnostics[1].severity, Severity::Warning);
        }
    }
}

// Settings written in many ways, in random order among comments, blank lines and other
// sections, over a few files: what comes back is what the last word said.
TEST(ClientdConfig, RandomLayoutsReadAsWritten)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](int below) { return std::uniform_int_distribution<int>(0, below - 1)(random); };
    const auto blanks = [&] { return std::string(static_cast<std::size_t>(pick(3)), pick(2) ? ' ' : '\t'); };
    const std::string servers[] = {"", "192.0.2.7", "time.example.org", "t1", "a-b.c-d.example"};

    for (int round = 0; round < 100; ++round) {
        const ConfigFolder folder;
        ClientdSettings expected;
        const int fileCount = 1 + pick(3);
        for (int file = 0; file < fileCount; ++file) {
            std::vector<std::string> lines;
            const auto setting = [&](const std::string& key, const std::string& value) {
                lines.push_back(blanks() + key + blanks() + "=" + blanks() + value + blanks());
            };
            // Each key at most once per file, so that the order of the lines decides nothing
            // but where the comments fall.
            if (pick(2)) {
                expected.server = servers[pick(5)];
                setting("Server", expected.server);
            }
            if (pick(2)) {
                expected.maxStep = seconds(pick(2) ? 0 : pick(100000));
                setting("MaxStepSec", std::to_string(expected.maxStep.count()));
            }
            if (pick(2)) {
                expected.pollInterval = seconds(16 + pick(86400 - 15));
                setting("PollIntervalSec", std::to_string(expected.pollInterval.count()));
            }
            if (pick(2)) {
                expected.metricsFile =
                    pick(3) ? "/var/lib/prometheus/node-exporter/f" + std::to_string(pick(9)) + ".prom" : "";
                setting("MetricsFile", expected.metricsFile);
            }
            for (int extra = pick(4); extra > 0; --extra)
                lines.push_back(pick(2) ? blanks() + "# Server=comment.example" : blanks() + ";MaxStepSec=1");
            for (int extra = pick(3); extra > 0; --extra)
                lines.push_back(blanks());
            std::shuffle(lines.begin(), lines.end(), random);
            std::string content = blanks() + "[Time]" + blanks() + "\n";
            for (const std::string& line : lines)
                content += line + (pick(4) ? "\n" : "\r\n");
            if (pick(2))
                content += "[Other]\nServer=other.example\nPollIntervalSec=1\n";
            folder.Write(file == 0 ? folder.Main() : folder.DropIn(std::to_string(10 + file) + "-r.conf"), content);
        }
        const ClientdConfig config = folder.Read();
        ASSERT_EQ(config.settings, expected) << "round " << round;
        for (const ConfigDiagnostic& found : config.diagnostics)
            ASSERT_EQ(found.severity, Severity::Warning) << found.Where();
    }
}

TEST(ServerDropIn, WrittenWholeAndReadBack)
{
    const ConfigFolder folder;
    folder.Write(folder.Main(), "[Time]\nServer=main.example\nMaxStepSec=60\n");
    std::filesystem::create_directories(folder.DropIns());
    const mode_t umaskBefore = umask(077);
    const std::string written = WriteServerDropIn(folder.DropIns(), "192.0.2.9");
    umask(umaskBefore);
    ASSERT_EQ(written, "");
    EXPECT_EQ(testsupport::FileContent(folder.DropIn(kServerDropIn)), "[Time]\nServer=192.0.2.9\n");
    struct stat status {};
    ASSERT_EQ(stat(folder.DropIn(kServerDropIn).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u); // readable by all, whatever the umask
    EXPECT_EQ(folder.Read().settings, With("192.0.2.9", seconds(60)));

    // A later change replaces it; a drop-in named after it still wins over it.
    ASSERT_EQ(WriteServerDropIn(folder.DropIns(), "time.example.org"), "");
    EXPECT_EQ(folder.Read().settings.server, "time.example.org");
    EXPECT_FALSE(folder.Read().serverSetting.afterServerDropIn);
    folder.Write(folder.DropIn("90-admin.conf"), "[Time]\nServer=\nServer=admin.example\n");
    EXPECT_EQ(folder.Read().settings.server, "admin.example");
    const ServerSetting admin = folder.Read().serverSetting; // which a stored server would not override
    EXPECT_TRUE(admin.afterServerDropIn && admin.file == folder.DropIn("90-admin.conf") && admin.line == 3);
    // Nothing was left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.DropIns()), {}), 2);
}

TEST(ServerDropIn, RefusesWhatIsNoServerAndLeavesTheOldFile)
{
    const ConfigFolder folder;
    std::filesystem::create_directories(folder.DropIns());
    ASSERT_EQ(WriteServerDropIn(folder.DropIns(), "time.example.org"), "");
    for (const std::string bad : {"", "time example", "time.example\nMaxStepSec=0", "-x.example", "192.0.2.300"}) {
        const std::string refusal = WriteServerDropIn(folder.DropIns(), bad);
        EXPECT_NE(refusal.find("neither an IPv4 address nor a host name: " + ServerNameFault(bad)), std::string::npos)
            << refusal;
        EXPECT_EQ(testsupport::FileContent(folder.DropIn(kServerDropIn)), "[Time]\nServer=time.example.org\n");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.DropIns()), {}), 1);

    // No folder to write in: said, naming it.
    const std::string missing = folder.DropIns() + "/missing";
    const std::string failure = WriteServerDropIn(missing, "192.0.2.1");
    EXPECT_NE(failure.find(missing), std::string::npos) << failure;
}
