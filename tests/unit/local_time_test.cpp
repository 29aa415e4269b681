#include "platform/local_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// Runs each test in a time zone of its own and puts the process's zone back afterwards.
class LocalTimeConversion : public testing::Test {
protected:
    void TearDown() override
    {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    void UseZone(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_ =
        std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

} // namespace

TEST_F(LocalTimeConversion, GivesTheCalendarFieldsOfTheLocalZone)
{
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");                // summer time in May: UTC+2
    const auto local = platform::LocalTimeOf(1211371200); // 2008-05-21 12:00:00 UTC
    ASSERT_TRUE(local);
    EXPECT_EQ(local->year, 2008);
    EXPECT_EQ(local->month, 5);
    EXPECT_EQ(local->day, 21);
    EXPECT_EQ(local->dayOfWeek, 3); // a Wednesday
    EXPECT_EQ(local->hour, 14);
    EXPECT_EQ(local->minute, 0);
    EXPECT_EQ(local->second, 0);
    EXPECT_EQ(local->millisecond, 0);
}

TEST_F(LocalTimeConversion, FollowsAZoneChangedWhileRunning)
{
    setenv("TZ", "UTC0", 1); // no tzset here: the conversion must notice by itself
    ASSERT_TRUE(platform::LocalTimeOf(0));
    EXPECT_EQ(platform::LocalTimeOf(0)->hour, 0);
    setenv("TZ", "JST-9", 1);
    EXPECT_EQ(platform::LocalTimeOf(0)->hour, 9);
}

TEST_F(LocalTimeConversion, CountsPast2038DoNotWrap)
{
    UseZone("UTC0");
    const auto local = platform::LocalTimeOf(2147483648LL); // one second past the 32-bit end
    ASSERT_TRUE(local);
    EXPECT_EQ(local->year, 2038);
    EXPECT_EQ(local->month, 1);
    EXPECT_EQ(local->day, 19);
    EXPECT_EQ(local->hour, 3);
    EXPECT_EQ(local->minute, 14);
    EXPECT_EQ(local->second, 8);
}

TEST_F(LocalTimeConversion, TheLocalStartOf1970IsTheFirstTimeGiven)
{
    UseZone("UTC0");
    EXPECT_TRUE(platform::LocalTimeOf(0));
    EXPECT_FALSE(platform::LocalTimeOf(-1));

    UseZone("EST5"); // UTC-5: the epoch itself is still 1969 here
    EXPECT_FALSE(platform::LocalTimeOf(0));
    EXPECT_FALSE(platform::LocalTimeOf(5 * 3600LL - 1));
    ASSERT_TRUE(platform::LocalTimeOf(5 * 3600LL));
    EXPECT_EQ(platform::LocalTimeOf(5 * 3600LL)->year, 1970);

    UseZone("JST-9"); // UTC+9: an hour before the epoch is already 1970 here
    const auto local = platform::LocalTimeOf(-3600);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->year, 1970);
    EXPECT_EQ(local->hour, 8);
}

TEST_F(LocalTimeConversion, TheYear9999IsTheLastGiven)
{
    UseZone("UTC0");
    const auto last = platform::LocalTimeOf(253402300799LL); // 9999-12-31 23:59:59
    ASSERT_TRUE(last);
    EXPECT_EQ(last->year, 9999);
    EXPECT_EQ(last->second, 59);
    EXPECT_FALSE(platform::LocalTimeOf(253402300800LL));

    UseZone("JST-9"); // the year 10000 begins nine hours earlier here
    EXPECT_FALSE(platform::LocalTimeOf(253402300799LL - 9 * 3600LL + 1));
}

TEST_F(LocalTimeConversion, CountsBeyondAnyCalendarAreRefused)
{
    UseZone("UTC0");
    for (const std::int64_t count : {INT64_MAX, INT64_MIN, std::int64_t{1} << 60, -(std::int64_t{1} << 60)})
        EXPECT_FALSE(platform::LocalTimeOf(count)) << count;
}
