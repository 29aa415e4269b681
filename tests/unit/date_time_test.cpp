#include "framework/date_time.h"
#include "tests/support/fakes.h"

#include <QLocale>

#include <gtest/gtest.h>

using framework::DecodeDateTime;
using framework::EncodeDateTime;
using framework::FormatDateTime;
using framework::TFormatSettings;
using platform::CivilTime;
using testsupport::CivilAt;

namespace {

const TFormatSettings& English()
{
    static const TFormatSettings settings =
        TFormatSettings::FromLocale(QLocale(QLocale::English, QLocale::UnitedKingdom));
    return settings;
}

} // namespace

TEST(DateTime, CountsDaysFromTheEndOf1899)
{
    EXPECT_DOUBLE_EQ(EncodeDateTime(CivilAt(1899, 12, 30)), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(CivilAt(1900, 1, 1)), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(CivilAt(1970, 1, 1)), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(CivilAt(2008, 5, 21, 12)), 39589.5);
    EXPECT_DOUBLE_EQ(EncodeDateTime(CivilAt(1899, 12, 29, 6)), -1.25);
}

TEST(DateTime, DecodesWhatItEncodesToTheMillisecond)
{
    for (const CivilTime& t : {CivilAt(2008, 5, 21, 12, 0, 0), CivilAt(1970, 1, 1),
                               CivilAt(2000, 2, 29, 23, 59, 59, 999), CivilAt(2038, 1, 19, 3, 14, 8, 1),
                               CivilAt(9999, 12, 31, 23, 59, 59, 999), CivilAt(1899, 12, 29, 6, 30, 15, 250)}) {
        const CivilTime back = DecodeDateTime(EncodeDateTime(t));
        EXPECT_EQ(back.year, t.year);
        EXPECT_EQ(back.month, t.month);
        EXPECT_EQ(back.day, t.day);
        EXPECT_EQ(back.hour, t.hour);
        EXPECT_EQ(back.minute, t.minute);
        EXPECT_EQ(back.second, t.second);
        EXPECT_EQ(back.millisecond, t.millisecond) << t.year;
    }
}

TEST(DateTime, DayOfWeekCountsFromSunday)
{
    EXPECT_EQ(DecodeDateTime(EncodeDateTime(CivilAt(2008, 5, 21))).dayOfWeek, 3);  // Wednesday
    EXPECT_EQ(DecodeDateTime(EncodeDateTime(CivilAt(1899, 12, 30))).dayOfWeek, 6); // Saturday
    EXPECT_EQ(DecodeDateTime(EncodeDateTime(CivilAt(2026, 12, 6))).dayOfWeek, 0);  // Sunday
}

TEST(DateTime, RoundingToTheMillisecondCanReachMidnight)
{
    const CivilTime t = DecodeDateTime(EncodeDateTime(CivilAt(2008, 5, 21)) - 1e-10);
    EXPECT_EQ(t.day, 21);
    EXPECT_EQ(t.hour, 0);
}

TEST(DateTimeFormat, ThePatternsOfTheClockFace)
{
    const double t = EncodeDateTime(CivilAt(2008, 5, 21, 9, 5, 7));
    EXPECT_EQ(FormatDateTime("hh", t, English()), "09");
    EXPECT_EQ(FormatDateTime("nn", t, English()), "05");
    EXPECT_EQ(FormatDateTime("ss", t, English()), "07");
    EXPECT_EQ(FormatDateTime("ddd dd mmm yyyy", t, English()), "Wed 21 May 2008");
    EXPECT_EQ(FormatDateTime("hh:nn:ss", t, English()), "09:05:07");
    EXPECT_EQ(FormatDateTime("hh", EncodeDateTime(CivilAt(2008, 5, 21, 23)), English()), "23");
    EXPECT_EQ(FormatDateTime("ddd dd mmm yyyy", EncodeDateTime(CivilAt(2026, 1, 4)), English()), "Sun 04 Jan 2026");
}

TEST(DateTimeFormat, ShortFormsQuotesAndLiterals)
{
    const double t = EncodeDateTime(CivilAt(2008, 5, 1, 7, 3, 4));
    EXPECT_EQ(FormatDateTime("h:n:s d/m/yy", t, English()), "7:3:4 1/5/08");
    EXPECT_EQ(FormatDateTime("'at' hh\"h\"", t, English()), "at 07h");
}

TEST(DateTimeFormat, NamesAndSeparatorComeFromTheLocale)
{
    const TFormatSettings german = TFormatSettings::FromLocale(QLocale(QLocale::German, QLocale::Germany));
    const TFormatSettings finnish = TFormatSettings::FromLocale(QLocale(QLocale::Finnish, QLocale::Finland));
    const double t = EncodeDateTime(CivilAt(2008, 3, 21, 12, 30, 15));
    EXPECT_EQ(FormatDateTime("ddd dd mmm yyyy", t, german), "Fr. 21 März 2008");
    EXPECT_EQ(FormatDateTime("hh:nn:ss", t, german), "12:30:15");
    EXPECT_EQ(FormatDateTime("hh:nn:ss", t, finnish), "12.30.15");
}
