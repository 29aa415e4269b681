// The bus's Update: one request every ten seconds at most, the calls between joining it.

#include "service/update_limit.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace std::chrono_literals;
using service::UpdateLimit;
using Time = platform::BootClock::time_point;

TEST(UpdateLimit, NeverStartsTwoWithinTheSpacingAndNeverTurnsOneAwayAfterIt)
{
    std::mt19937 random(6645);
    for (int round = 0; round < 100; ++round) {
        UpdateLimit limit;
        Time now(0s);
        std::vector<Time> started;
        for (int call = 0; call < 200; ++call) {
            now += std::chrono::milliseconds(random() % 3000);
            const bool starts = limit.Starts(now);
            // A join only within the spacing of the last start; a start only after it.
            if (!started.empty())
                EXPECT_EQ(starts, now - started.back() >= UpdateLimit::kSpacing) << "round " << round;
            else
                EXPECT_TRUE(starts);
            if (starts)
                started.push_back(now);
        }
        for (std::size_t i = 1; i < started.size(); ++i)
            EXPECT_GE(started[i] - started[i - 1], UpdateLimit::kSpacing);
    }
}
