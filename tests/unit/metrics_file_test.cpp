#include "service/metrics_file.h"
#include "tests/support/file_content.h"

#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

using namespace service;

namespace {

struct Metric {
    std::string help;
    std::string type;
    std::string value;
};

// Reads Prometheus's text format back, failing the test where a line breaks its rules: a
// sample without its HELP and TYPE lines before it, a name twice, a counter not ending in
// _total, a name or type Prometheus would not take.
std::map<std::string, Metric> Parse(const std::string& text)
{
    std::map<std::string, Metric> metrics;
    std::string pendingHelp, pendingType, pendingName;
    std::istringstream lines(text);
    std::string line;
    const auto validName = [](const std::string& name) {
        return !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]))
            && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:")
                   == std::string::npos;
    };
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first, name;
        words >> first;
        if (first == "#") {
            std::string keyword;
            words >> keyword >> name;
            std::string rest;
            std::getline(words >> std::ws, rest);
            if (keyword == "HELP") {
                EXPECT_TRUE(pendingName.empty()) << "HELP twice before " << name;
                pendingName = name;
                pendingHelp = rest;
            } else {
                EXPECT_EQ(keyword, "TYPE") << line;
                EXPECT_EQ(name, pendingName) << "TYPE for another metric than its HELP: " << line;
                pendingType = rest;
            }
            continue;
        }
        name = first;
        std::string value, extra;
        words >> value >> extra;
        EXPECT_TRUE(validName(name)) << line;
        EXPECT_TRUE(extra.empty()) << "a timestamp or more: " << line;
        EXPECT_EQ(name, pendingName) << "a sample without its HELP and TYPE: " << line;
        EXPECT_FALSE(pendingHelp.empty()) << line;
        EXPECT_TRUE(pendingType == "gauge" || pendingType == "counter") << line;
        EXPECT_EQ(pendingType == "counter", name.ends_with("_total")) << line;
        EXPECT_EQ(metrics.count(name), 0u) << name << " twice";
        metrics[name] = {pendingHelp, pendingType, value};
        pendingName.clear();
    }
    EXPECT_TRUE(pendingName.empty()) << pendingName << " has no sample";
    return metrics;
}

double Real(const std::map<std::string, Metric>& metrics, const std::string& name)
{
    const std::string& value = metrics.at("tavrin_client_" + name).value;
    char* end = nullptr;
    const double parsed = std::strtod(value.c_str(), &end);
    EXPECT_EQ(*end, '\0') << name << " " << value;
    return parsed;
}

std::uint64_t Count(const std::map<std::string, Metric>& metrics, const std::string& name)
{
    const std::string& value = metrics.at("tavrin_client_" + name).value;
    EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << name << " " << value;
    return std::strtoull(value.c_str(), nullptr, 10);
}

} // namespace

TEST(MetricsFile, RendersWhatParsesBackToTheSnapshot)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    const auto real = [&] {
        // Whole, tiny and wide figures alike, either side of zero.
        const double magnitude = std::pow(10.0, std::uniform_real_distribution<double>(-9, 9)(random));
        return (random() % 2 ? -1 : 1) * (random() % 4 == 0 ? std::round(magnitude) : magnitude);
    };
    const auto count = [&] {
        return random() % 3 == 0 ? std::numeric_limits<std::uint64_t>::max() - random() % 10 : random() % 1000;
    };
    for (int round = 0; round < 500; ++round) {
        MetricsSnapshot snapshot;
        if (round % 5 != 0)
            snapshot.lastUpdate =
                std::chrono::system_clock::time_point(std::chrono::microseconds(random() % 4'000'000'000'000'000));
        snapshot.offset = std::chrono::duration<double>(real());
        snapshot.offsetErrorBound = std::chrono::duration<double>(std::abs(real()));
        snapshot.serverReachable = random() % 2;
        snapshot.serverSource = static_cast<int>(random() % 10);
        snapshot.serverState = static_cast<int>(random() % 10);
        snapshot.steps = count();
        snapshot.slews = count();
        snapshot.clockNotSet = count();
        snapshot.refusedReplyConnections = count();

        const auto metrics = Parse(RenderMetrics(snapshot));
        ASSERT_EQ(metrics.size(), 10u) << "round " << round;
        EXPECT_EQ(Real(metrics, "last_update_timestamp_seconds"),
                  snapshot.lastUpdate ? std::chrono::duration<double>(snapshot.lastUpdate->time_since_epoch()).count()
                                      : 0.0);
        EXPECT_EQ(Real(metrics, "offset_seconds"), snapshot.offset.count());
        EXPECT_EQ(Real(metrics, "offset_error_bound_seconds"), snapshot.offsetErrorBound.count());
        EXPECT_EQ(Count(metrics, "server_reachable"), snapshot.serverReachable ? 1u : 0u);
        EXPECT_EQ(Count(metrics, "server_source"), static_cast<std::uint64_t>(snapshot.serverSource));
        EXPECT_EQ(Count(metrics, "server_state"), static_cast<std::uint64_t>(snapshot.serverState));
        EXPECT_EQ(Count(metrics, "steps_total"), snapshot.steps);
        EXPECT_EQ(Count(metrics, "slews_total"), snapshot.slews);
        EXPECT_EQ(Count(metrics, "clock_not_set_total"), snapshot.clockNotSet);
        EXPECT_EQ(Count(metrics, "refused_reply_connections_total"), snapshot.refusedReplyConnections);
        if (HasFailure())
            break;
    }
}

TEST(MetricsFile, FiguresThatAreNoNumbersStillParse)
{
    MetricsSnapshot snapshot;
    snapshot.offset = std::chrono::duration<double>(std::numeric_limits<double>::quiet_NaN());
    snapshot.offsetErrorBound = std::chrono::duration<double>(std::numeric_limits<double>::infinity());
    const auto metrics = Parse(RenderMetrics(snapshot));
    EXPECT_TRUE(std::isnan(Real(metrics, "offset_seconds")));
    EXPECT_EQ(Real(metrics, "offset_error_bound_seconds"), std::numeric_limits<double>::infinity());
}

TEST(MetricsFile, WrittenWholeForAllToRead)
{
    const QTemporaryDir folder;
    const std::string path = folder.filePath("tavrin-client.prom").toStdString();
    MetricsSnapshot snapshot;
    snapshot.steps = 3;
    const mode_t umaskBefore = umask(077);
    const std::string first = WriteMetricsFile(path, snapshot);
    umask(umaskBefore);
    ASSERT_EQ(first, "");
    EXPECT_EQ(testsupport::FileContent(path), RenderMetrics(snapshot));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u); // node_exporter runs as a user of its own

    snapshot.steps = 4;
    ASSERT_EQ(WriteMetricsFile(path, snapshot), "");
    EXPECT_EQ(Count(Parse(testsupport::FileContent(path)), "steps_total"), 4u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path().toStdString()), {}), 1);
}

TEST(MetricsFile, AFailedWriteLeavesTheLastFile)
{
    const QTemporaryDir folder;
    const std::string path = folder.filePath("tavrin-client.prom").toStdString();
    MetricsSnapshot snapshot;
    snapshot.steps = 1;
    ASSERT_EQ(WriteMetricsFile(path, snapshot), "");
    const std::string last = testsupport::FileContent(path);

    // A disk that fills half-way: writes past the first 100 bytes fail with EFBIG.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previousAction = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    snapshot.steps = 2;
    const std::string failure = WriteMetricsFile(path, snapshot);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    std::signal(SIGXFSZ, previousAction);

    EXPECT_NE(failure.find(path), std::string::npos) << failure;
    EXPECT_EQ(testsupport::FileContent(path), last);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path().toStdString()), {}), 1)
        << "the half-written file stayed";

    // No folder to write in: said, and nothing made.
    const std::string missing = folder.filePath("missing/tavrin-client.prom").toStdString();
    const std::string noFolder = WriteMetricsFile(missing, snapshot);
    EXPECT_NE(noFolder.find("missing"), std::string::npos) << noFolder;
    EXPECT_FALSE(std::filesystem::exists(missing));
}
