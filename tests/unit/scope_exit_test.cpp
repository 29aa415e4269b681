#include "framework/scope_exit.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// A flag set for a piece of work, as a socket's "closing" or the address watch's "busy".
struct Work {
    bool busy = false;
    bool busyInside = false;

    void Do(bool fail)
    {
        busy = true;
        const framework::ScopeExit idleAgain([this]() noexcept { busy = false; });
        busyInside = busy;
        if (fail)
            throw std::runtime_error("failed");
    }
};

} // namespace

TEST(ScopeExit, ResetsItsFlagOnEveryWayOut)
{
    Work work;
    work.Do(false);
    EXPECT_TRUE(work.busyInside);
    EXPECT_FALSE(work.busy);

    work.busyInside = false;
    EXPECT_THROW(work.Do(true), std::runtime_error);
    EXPECT_TRUE(work.busyInside);
    EXPECT_FALSE(work.busy);
}

TEST(ScopeExit, ADismissedActionUndoesNothing)
{
    int undone = 0;
    const auto step = [&](bool fail) {
        framework::ScopeExit undo([&]() noexcept { ++undone; });
        if (fail)
            throw std::runtime_error("failed");
        undo.Dismiss();
    };
    step(false);
    EXPECT_EQ(undone, 0);
    EXPECT_THROW(step(true), std::runtime_error);
    EXPECT_EQ(undone, 1);
}
