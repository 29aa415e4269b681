#include "tests/support/child_process.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>

using testsupport::ChildProcess;

TEST(SettingsSavedAtOnce, TwoProgramsSavingTogetherNeverMixTheirSettings)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("tavrin-client/user.reg").toStdString();
    std::vector<std::unique_ptr<ChildProcess>> savers;
    for (const char* tag : {"1", "2"}) {
        savers.push_back(
            std::make_unique<ChildProcess>(std::vector<std::string>{TAVRIN_SETTINGS_SAVER, path, tag, "200"}));
        ASSERT_EQ(savers.back()->ReadLine(std::chrono::seconds(10)), "ready") << savers.back()->Errors();
    }
    QDir().mkpath(dir.filePath("tavrin-client"));
    QFile go(QString::fromStdString(path + ".go"));
    ASSERT_TRUE(go.open(QIODevice::WriteOnly));

    long long lastStart = 0;
    long long firstEnd = LLONG_MAX;
    for (const auto& saver : savers) {
        ASSERT_TRUE(saver->WaitForExit(std::chrono::seconds(60)));
        ASSERT_EQ(saver->ExitCode(), 0) << saver->Errors();
        long long start = 0;
        long long end = 0;
        const auto span = saver->ReadLine(std::chrono::seconds(1)).value_or("");
        ASSERT_EQ(std::sscanf(span.c_str(), "%lld %lld", &start, &end), 2) << span;
        lastStart = std::max(lastStart, start);
        firstEnd = std::min(firstEnd, end);
    }
    // The savers really saved at the same time, or the test proved nothing.
    EXPECT_LT(lastStart, firstEnd);
}
