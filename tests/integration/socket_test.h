#pragma once

#include "framework/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/fakes.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process_stats.h"
#include "tests/support/raised_by.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

// Real sockets on loopback, with the central error display watched. Each test must leave
// as many descriptors open as it found: the sockets it made are released in ReleaseSockets
// and the count is checked after the loop has had the chance to finish releasing.
class SocketTest : public testing::Test {
protected:
    void SetUp() override
    {
        QCoreApplication::processEvents();
        descriptorsAtStart_ = DescriptorsOf(getpid());
    }

    void TearDown() override
    {
        ReleaseSockets();
        const bool back = ProcessEventsUntil([this] { return DescriptorsOf(getpid()) == descriptorsAtStart_; },
                                             std::chrono::seconds(2));
        EXPECT_TRUE(back) << DescriptorsOf(getpid()) << " descriptors open, " << descriptorsAtStart_ << " at the start";
    }

    virtual void ReleaseSockets() {}

    // The texts that reached the central error display.
    std::vector<std::string> Displayed() const
    {
        std::vector<std::string> texts;
        for (const AlertRecord& alert : alerts.shown)
            texts.push_back(alert.text);
        return texts;
    }

    FakeAlerts alerts;
    framework::TApplication application{alerts};

private:
    int descriptorsAtStart_ = 0;
};

} // namespace testsupport
