#pragma once

#include <cstdint>
#include <string_view>

// Text-to-number conversions that raise ConvertError on anything but a clean number.
namespace framework {

// Optional leading blanks, an optional sign, then decimal digits only, within 32 bits.
std::int32_t StrToInt(std::string_view text);

// Decimal notation with an optional fraction ('.' whatever the locale) and exponent,
// optional blanks around it. No hexadecimal, infinities or NaN.
double StrToFloat(std::string_view text);

} // namespace framework
