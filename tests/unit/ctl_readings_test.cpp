// tavrinctl's words and quantities, and the status report made of them.

#include "ctl/readings.h"
#include "ctl/status_json.h"
#include "ctl/status_text.h"
#include "platform/escaped_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <random>
#include <sstream>

using namespace ctl;

namespace {

constexpr std::uint64_t kSecond = 1'000'000;
// 2024-05-10 12:00:00 UTC, a Friday.
constexpr std::uint64_t kNoon = 1'715'342'400 * kSecond;

// Local time is UTC in these tests, so that the times written are the same everywhere.
class CtlStatusText : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

ServiceStatus Kept()
{
    ServiceStatus status;
    status.server = "192.0.2.1";
    status.reachable = true;
    status.source = 1;
    status.state = 2;
    status.lastUpdateUsec = kNoon - 42 * kSecond;
    status.offsetUsec = 12'000;
    status.errorBoundUsec = 4'000;
    status.lastResult = "Last update 11:59:18: clock right (offset +12 ms)";
    status.nextUpdateUsec = kNoon + 258 * kSecond + 500'000;
    return status;
}

} // namespace

TEST(CtlReadings, AmountsTakeTheUnitThatSuitsThem)
{
    const struct {
        std::int64_t microseconds;
        bool withSign;
        const char* text;
    } cases[] = {
        {0, true, "0 µs"},           {999, true, "+999 µs"},        {-999, false, "-999 µs"},
        {1'000, true, "+1 ms"},      {12'345, true, "+12 ms"},      {12'500, true, "+13 ms"},
        {-12'500, true, "-13 ms"},   {999'499, true, "+999 ms"},    {999'500, true, "+1 s"},
        {1'200'000, false, "1.2 s"}, {1'234'567, true, "+1.235 s"}, {-90'000'000, true, "-90 s"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AmountText(c.microseconds, c.withSign), c.text) << c.microseconds;
    EXPECT_EQ(OffsetText(12'000, 4'000), "+12 ms ± 4 ms");
    EXPECT_EQ(OffsetText(-300'000, 1'200'000), "-300 ms ± 1.2 s");
    // The extremes neither overflow nor lose their sign.
    EXPECT_EQ(AmountText(std::numeric_limits<std::int64_t>::min(), true).substr(0, 1), "-");
    EXPECT_TRUE(OffsetText(0, std::numeric_limits<std::uint64_t>::max()).starts_with("0 µs ± 9"));
}

TEST(CtlReadings, SpansAndMomentsReadAsTimedatectlWritesThem)
{
    const std::pair<std::int64_t, const char*> spans[] = {
        {0, "0s"},    {59, "59s"},       {60, "1min"},         {258, "4min 18s"}, {3599, "59min 59s"},
        {3600, "1h"}, {3660, "1h 1min"}, {86399, "23h 59min"}, {86400, "1d"},     {90000, "1d 1h"},
    };
    for (const auto& [seconds, text] : spans)
        EXPECT_EQ(SpanText(seconds), text) << seconds;
    EXPECT_EQ(RelativeText(258), "in 4min 18s");
    EXPECT_EQ(RelativeText(-42), "42s ago");
    EXPECT_EQ(RelativeText(0), "now");

    // Parts of a second are left out, towards zero either way.
    EXPECT_EQ(SecondsBetween(kNoon, kNoon + 42 * kSecond + 999'999), 42);
    EXPECT_EQ(SecondsBetween(kNoon + 42 * kSecond + 999'999, kNoon), -42);
    EXPECT_EQ(SecondsBetween(kNoon, kNoon + 999'999), 0);
    constexpr std::uint64_t kLatest = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(SecondsBetween(kLatest, 0), -static_cast<std::int64_t>(kLatest / kSecond));
}

TEST(CtlReadings, DecimalSecondsRoundAndDropTrailingZeros)
{
    const struct {
        std::int64_t microseconds;
        int places;
        const char* text;
    } cases[] = {
        {12'000, 6, "0.012"}, {-1'500'000, 6, "-1.5"}, {0, 6, "0"},       {1, 6, "0.000001"},    {12'345, 3, "0.012"},
        {12'500, 3, "0.013"}, {-400, 3, "0"},          {999'999, 3, "1"}, {-2'000'001, 0, "-2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecimalSeconds(c.microseconds, c.places), c.text) << c.microseconds << " to " << c.places;
}

TEST(CtlReadings, SourcesAndStatesInWords)
{
    const std::tuple<int, const char*, const char*> cases[] = {
        {-1, "unknown", "unknown"},    {0, "PC Clock", "not in sync"}, {1, "GPS", "holdover"},
        {2, "unknown (2)", "in sync"}, {3, "NTP", "unknown"},          {7, "unknown (7)", "unknown (7)"},
    };
    for (const auto& [number, source, state] : cases) {
        EXPECT_EQ(SourceName(number), source) << number;
        EXPECT_EQ(StateName(number), state) << number;
    }
}

TEST_F(CtlStatusText, TheStatusReportIsLaidOutAsTimedatectlLaysOutItsOwn)
{
    ServiceStatus status = Kept();
    status.notice = "Another time synchroniser is on: systemd-timesyncd\nIt steps the clock too.\n";
    EXPECT_EQ(StatusText(status, kNoon), "     Server: 192.0.2.1\n"
                                         "  Reachable: yes\n"
                                         "Time source: GPS\n"
                                         " Sync state: in sync\n"
                                         "Last update: Fri 2024-05-10 11:59:18 UTC (42s ago)\n"
                                         "     Offset: +12 ms ± 4 ms\n"
                                         "Next update: Fri 2024-05-10 12:04:18 UTC (in 4min 18s)\n"
                                         "Last result: Last update 11:59:18: clock right (offset +12 ms)\n"
                                         "     Notice: Another time synchroniser is on: systemd-timesyncd\n"
                                         "             It steps the clock too.\n");
}

TEST_F(CtlStatusText, TheStatusReportSaysWhatIsNotThere)
{
    ServiceStatus status;
    const std::string text = StatusText(status, kNoon);
    EXPECT_NE(text.find("Server: none (set one with: tavrinctl set-server ADDRESS)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Time source: unknown\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Last update: never\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Next update: none planned\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Offset"), std::string::npos) << "no offset without an update: " << text;
    EXPECT_EQ(text.find("Notice"), std::string::npos) << text;
    EXPECT_EQ(text.find("Last result"), std::string::npos) << text;

    status = Kept();
    status.nextUpdateUsec = kNoon - 3 * kSecond; // late
    EXPECT_NE(StatusText(status, kNoon).find("Fri 2024-05-10 11:59:57 UTC (3s ago)"), std::string::npos);
}

TEST_F(CtlStatusText, EveryLabelEndsInOneColumnWhateverIsShown)
{
    std::mt19937 random(20240510);
    for (int round = 0; round < 200; ++round) {
        ServiceStatus status = Kept();
        if (random() % 2)
            status.lastUpdateUsec = 0;
        if (random() % 2)
            status.lastResult.clear();
        if (random() % 2)
            status.notice = std::string(random() % 3 + 1, '\n') + "one\n\ntwo";
        if (random() % 2)
            status.nextUpdateUsec = 0;
        std::istringstream lines(StatusText(status, kNoon));
        std::string line;
        std::string::size_type column = std::string::npos;
        bool continuing = false;
        while (std::getline(lines, line)) {
            const auto colon = line.find(": ");
            if (column == std::string::npos)
                column = colon;
            if (line.substr(0, column + 2).find_first_not_of(' ') == std::string::npos) {
                EXPECT_TRUE(continuing) << line; // a continued value, under the one before
                continue;
            }
            EXPECT_EQ(colon, column) << line;
            EXPECT_NE(line.back(), ' ') << line;
            continuing = line.starts_with(std::string(column - 6, ' ') + "Notice");
        }
    }
}

TEST(EscapedText, ControlCharactersAndBrokenUtf8AsSystemctlWritesThem)
{
    const struct {
        std::string text;
        std::string shown;
        std::string excerpt; // of at most 8 bytes
    } cases[] = {
        {"a\nb\tc\rd", "a\\nb\\tc\\rd", "a\\nb\\tc…"},
        {"\a\b\v\f\\", "\\a\\b\\v\\f\\\\", "\\a\\b\\v\\f…"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m", "\\x1b[31m…"},
        {std::string("nul\0x", 5), "nul\\x00x", "nul\\x00x"},
        {"ü ± µs ✓ 🕐", "ü ± µs ✓ 🕐", "ü ± µ…"},                                 // letters beyond ASCII stay
        {"c1 \xc2\x9b\x32J", "c1 \\xc2\\x9b2J", "c1 …"},                        // the one-byte CSI, as UTF-8
        {"\xff\xc3", "\\xff\\xc3", "\\xff\\xc3"},                               // not UTF-8 at all, or cut short
        {"\xc0\xaf \xed\xa0\x80", "\\xc0\\xaf \\xed\\xa0\\x80", "\\xc0\\xaf…"}, // overlong, surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\\xf4\\x90…"},            // beyond U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::EscapedText(c.text), c.shown) << c.shown;
        EXPECT_EQ(platform::EscapedExcerpt(c.text, 8), c.excerpt) << c.shown;
    }
}

TEST(CtlStatusJson, HoldsEveryKeyAndTheAgesFromNow)
{
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(StatusJson(Kept(), kNoon))).object();
    QStringList keys = json.keys();
    keys.sort();
    EXPECT_EQ(keys.join(' ').toStdString(),
              "error_bound_usec failing last_result last_update_age_sec last_update_usec next_update_in_sec "
              "next_update_usec notice offset_usec reachable server source source_name state state_name");
    EXPECT_EQ(json["last_update_age_sec"].toInteger(), 42);
    EXPECT_EQ(json["next_update_in_sec"].toInteger(), 258);
    EXPECT_TRUE(json["notice"].isArray());
}

TEST(CtlStatusJson, NullWhereThereIsNothingToTell)
{
    ServiceStatus status;
    status.offsetUsec = -5; // left from nothing: not shown without an update
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(StatusJson(status, kNoon))).object();
    for (const char* key : {"last_update_usec", "last_update_age_sec", "offset_usec", "error_bound_usec",
                            "next_update_usec", "next_update_in_sec"})
        EXPECT_TRUE(json[key].isNull()) << key;
    EXPECT_EQ(json["source"].toInt(), -1);
    EXPECT_EQ(json["source_name"].toString(), "unknown");
}

TEST(CtlStatusJson, AnyTextComesBackAsItWent)
{
    ServiceStatus status = Kept();
    status.server = "q\"uote\\back\tslash\x01\x1f ü ✓ \x7f \xc2\x9b[2J";
    status.lastResult = "line\r\nbreak";
    status.notice = "first \"one\"\n\nsecond\\\n";
    const std::string text = StatusJson(status, kNoon);
    QJsonParseError error{};
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << text;
    // Nothing a terminal acts on, the C1 CSI included, reaches it raw.
    EXPECT_TRUE(text.find_first_of("\x7f\x1b\x01") == text.npos && text.find("\xc2\x9b") == text.npos) << text;
    EXPECT_EQ(json["server"].toString().toStdString(), status.server);
    EXPECT_EQ(json["last_result"].toString().toStdString(), status.lastResult);
    const QJsonArray notice = json["notice"].toArray();
    ASSERT_EQ(notice.size(), 2);
    EXPECT_EQ(notice[0].toString(), "first \"one\"");
    EXPECT_EQ(notice[1].toString(), "second\\");
}
