#include "framework/date_time.h"

#include <QLocale>

#include <cmath>
#include <cstdint>

namespace framework {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

// Day 0 of TDateTime, 1899-12-30, counted from 1970-01-01.
constexpr std::int64_t kEpochShift = -25'569;

// Days from 1970-01-01 to a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + doe - 719'468;
}

void CivilFromDays(std::int64_t z, platform::CivilTime& out)
{
    z += 719'468;
    const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const std::int64_t doe = z - era * 146'097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2));
}

std::string TwoDigits(int value)
{
    if (value < 0 || value > 99)
        return std::to_string(value);
    return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// Length of the run of `c` at the start of `text`.
std::size_t RunOf(char c, std::string_view text)
{
    std::size_t n = 0;
    while (n < text.size() && (text[n] | 0x20) == c)
        ++n;
    return n;
}

} // namespace

TDateTime EncodeDateTime(const platform::CivilTime& time)
{
    const std::int64_t days = DaysFromCivil(time.year, time.month, time.day) - kEpochShift;
    const double fraction =
        ((time.hour * 60.0 + time.minute) * 60.0 + time.second + time.millisecond / 1000.0) / 86'400.0;
    // Before day 0 the fraction counts away from zero, as in the framework it mirrors.
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

platform::CivilTime DecodeDateTime(TDateTime value)
{
    const double whole = std::trunc(value);
    std::int64_t days = static_cast<std::int64_t>(whole);
    std::int64_t ms = std::llround(std::fabs(value - whole) * kMsPerDay);
    if (ms >= kMsPerDay) { // rounding reached midnight
        ms -= kMsPerDay;
        days += value >= 0 ? 1 : -1;
    }
    platform::CivilTime out;
    const std::int64_t unixDays = days + kEpochShift;
    CivilFromDays(unixDays, out);
    out.dayOfWeek = static_cast<int>(((unixDays % 7) + 11) % 7); // 1970-01-01 was a Thursday
    out.hour = static_cast<int>(ms / 3'600'000);
    out.minute = static_cast<int>(ms / 60'000 % 60);
    out.second = static_cast<int>(ms / 1000 % 60);
    out.millisecond = static_cast<int>(ms % 1000);
    return out;
}

TFormatSettings TFormatSettings::FromLocale(const QLocale& locale)
{
    TFormatSettings settings;
    // Qt counts days from Monday (1) to Sunday (7).
    for (int i = 0; i < 7; ++i)
        settings.ShortDayNames[i] = locale.dayName(i == 0 ? 7 : i, QLocale::ShortFormat).toStdString();
    for (int i = 0; i < 12; ++i)
        settings.ShortMonthNames[i] = locale.monthName(i + 1, QLocale::ShortFormat).toStdString();

    // The separator is whatever stands between the hour and the minute in the time format.
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    const auto hour = format.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
    if (hour >= 0) {
        qsizetype from = hour;
        while (from < format.size() && format[from].toLower() == QLatin1Char('h'))
            ++from;
        const auto minute = format.indexOf(QLatin1Char('m'), from);
        if (minute > from)
            settings.TimeSeparator = format.mid(from, minute - from).remove(QLatin1Char('\'')).toStdString();
    }
    return settings;
}

const TFormatSettings& DefaultFormatSettings()
{
    static const TFormatSettings settings = TFormatSettings::FromLocale(QLocale::system());
    return settings;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value, const TFormatSettings& settings)
{
    const platform::CivilTime t = DecodeDateTime(value);
    std::string out;
    while (!pattern.empty()) {
        const char c = pattern.front();
        const char lower = static_cast<char>(c | 0x20);
        std::size_t used = 1;
        if (c == '"' || c == '\'') {
            const auto close = pattern.find(c, 1);
            used = close == std::string_view::npos ? pattern.size() : close + 1;
            out += pattern.substr(1, (close == std::string_view::npos ? pattern.size() : close) - 1);
        } else if (c == ':') {
            out += settings.TimeSeparator;
        } else if (lower == 'h' || lower == 'n' || lower == 's') {
            used = std::min<std::size_t>(RunOf(lower, pattern), 2);
            const int field = lower == 'h' ? t.hour : lower == 'n' ? t.minute : t.second;
            out += used == 2 ? TwoDigits(field) : std::to_string(field);
        } else if (lower == 'd') {
            used = std::min<std::size_t>(RunOf('d', pattern), 3);
            out += used == 3 ? settings.ShortDayNames[t.dayOfWeek]
                 : used == 2 ? TwoDigits(t.day)
                             : std::to_string(t.day);
        } else if (lower == 'm') {
            used = std::min<std::size_t>(RunOf('m', pattern), 3);
            out += used == 3 ? settings.ShortMonthNames[t.month - 1]
                 : used == 2 ? TwoDigits(t.month)
                             : std::to_string(t.month);
        } else if (lower == 'y') {
            used = RunOf('y', pattern);
            out += used <= 2 ? TwoDigits(t.year % 100) : std::to_string(t.year);
        } else {
            out += c;
        }
        pattern.remove_prefix(used);
    }
    return out;
}

} // namespace framework
