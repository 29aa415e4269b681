#pragma once

#include "platform/civil_time.h"

#include <array>
#include <string>
#include <string_view>

class QLocale;

namespace framework {

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

TDateTime EncodeDateTime(const platform::CivilTime& time);

// The calendar fields of `value`, milliseconds rounded; day of week 0 = Sunday.
platform::CivilTime DecodeDateTime(TDateTime value);

// The names and separators that formatting takes from the user's locale.
struct TFormatSettings {
    std::array<std::string, 7> ShortDayNames;    // Sunday first
    std::array<std::string, 12> ShortMonthNames; // January first
    std::string TimeSeparator = ":";

    static TFormatSettings FromLocale(const QLocale& locale);
};

// The settings of the locale in force, read once at first use.
const TFormatSettings& DefaultFormatSettings();

// Formats with the day and time patterns: "h"/"hh" hour (24 h), "n"/"nn" minute,
// "s"/"ss" second, "d"/"dd" day, "ddd" day name, "m"/"mm" month, "mmm" month name,
// "yy"/"yyyy" year, ":" the time separator; text in quotes and anything else is copied.
std::string FormatDateTime(std::string_view pattern, TDateTime value,
                           const TFormatSettings& settings = DefaultFormatSettings());

} // namespace framework
