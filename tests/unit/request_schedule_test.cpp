// When the keeper asks next: one interval after the last request started, counted on the
// boot clock, with a late request never followed by a burst.

#include "keeper/request_schedule.h"

#include <gtest/gtest.h>

using keeper::RequestSchedule;
using namespace std::chrono_literals;

namespace {

RequestSchedule::Time At(std::chrono::milliseconds sinceBoot)
{
    return RequestSchedule::Time(sinceBoot);
}

} // namespace

TEST(RequestSchedule, CountsDownFromEachStartAndCatchesUpOnceAfterASleep)
{
    RequestSchedule schedule(300s);
    schedule.Started(At(10s));

    struct Reading {
        std::chrono::milliseconds now;
        int secondsLeft;
    };
    for (const Reading reading : {Reading{10s, 300}, Reading{10250ms, 299}, Reading{309'999ms, 0}, Reading{310s, 0},
                                  Reading{2h, 0}}) // long past: still 0, never below
        EXPECT_EQ(schedule.SecondsLeft(At(reading.now)), reading.secondsLeft) << reading.now.count();

    // Woken two hours late: the request that starts then is the only one, the next a whole
    // interval after it.
    schedule.Started(At(2h));
    EXPECT_EQ(schedule.Due(), At(2h + 300s));
}

TEST(RequestSchedule, ANewIntervalCountsFromTheLastStart)
{
    RequestSchedule schedule(300s);
    schedule.Started(At(100s));
    schedule.SetInterval(16s);
    EXPECT_EQ(schedule.Due(), At(116s));
    EXPECT_EQ(schedule.Interval(), 16s);
}
