#include "framework/convert.h"
#include "framework/exception.h"
#include "framework/format.h"
#include "framework/number_format.h"
#include "framework/text.h"
#include "tests/support/raised_by.h"

#include <gtest/gtest.h>

#include <string>

using namespace framework;
using testsupport::RaisedBy;

TEST(TextRoutines, PosIsOneBasedAndZeroWhenAbsent)
{
    EXPECT_EQ(Pos("}", "{abc}"), 5);
    EXPECT_EQ(Pos("TAVRIN_", "xTAVRIN_1"), 2);
    EXPECT_EQ(Pos("}", "{abc"), 0);
    EXPECT_EQ(Pos("", "abc"), 0);
    EXPECT_EQ(Pos("abc", ""), 0);
}

TEST(TextRoutines, CopyClipsAndIsEmptyOutsideTheText)
{
    EXPECT_EQ(Copy("TAVRIN_1,0,2,0042", 14, 4), "0042");
    EXPECT_EQ(Copy("abcdef", 5, 10), "ef");
    EXPECT_EQ(Copy("abcdef", 6, 1), "f");
    EXPECT_EQ(Copy("abcdef", 7, 1), "");
    EXPECT_EQ(Copy("abcdef", 0, 3), "");
    EXPECT_EQ(Copy("abcdef", -5, 3), "");
    EXPECT_EQ(Copy("abcdef", 2, 0), "");
    EXPECT_EQ(Copy("abcdef", 2, -1), "");
    EXPECT_EQ(Copy("", 1, 1), "");
}

TEST(TextRoutines, DeleteRemovesWithinTheTextOnly)
{
    std::string text = "{frame}{next}";
    Delete(text, 1, 7);
    EXPECT_EQ(text, "{next}");
    Delete(text, 5, 100);
    EXPECT_EQ(text, "{nex");
    Delete(text, 0, 2);
    Delete(text, 5, 1);
    Delete(text, 2, 0);
    EXPECT_EQ(text, "{nex");
}

TEST(IntegerConversion, AcceptsBlanksSignAndDigitsWithin32Bits)
{
    EXPECT_EQ(StrToInt(" -12"), -12);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("0042"), 42);
    EXPECT_EQ(StrToInt("   9"), 9);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
}

TEST(IntegerConversion, RaisesOnEmptyMalformedOrOutOfRangeText)
{
    for (const char* bad : {"", " ", "-", "+", "1a", "a1", "12 ", "1.0", "0x10", "$10", "--1", "+-1", "2147483648",
                            "-2147483649", "99999999999999999999", "\t1"})
        EXPECT_THROW(StrToInt(bad), ConvertError) << '"' << bad << '"';
}

TEST(IntegerConversion, MessageQuotesTheText)
{
    EXPECT_EQ(RaisedBy<Exception>([&] { StrToInt("1a"); }), "'1a' is not a valid integer value");
}

TEST(FloatConversion, ReadsDecimalNotationWhateverTheLocale)
{
    EXPECT_DOUBLE_EQ(StrToFloat("1211371200"), 1211371200.0);
    EXPECT_DOUBLE_EQ(StrToFloat("1211371200.9"), 1211371200.9);
    EXPECT_DOUBLE_EQ(StrToFloat(" -2.5 "), -2.5);
    EXPECT_DOUBLE_EQ(StrToFloat("+.5"), 0.5);
    EXPECT_DOUBLE_EQ(StrToFloat("5."), 5.0);
    EXPECT_DOUBLE_EQ(StrToFloat("1e3"), 1000.0);
    EXPECT_DOUBLE_EQ(StrToFloat("2.5E-1"), 0.25);
    EXPECT_DOUBLE_EQ(StrToFloat("99999999999"), 99999999999.0);
}

TEST(FloatConversion, RaisesOnMalformedText)
{
    for (const char* bad :
         {"", " ", ".", "-", "1,5", "1.2.3", "inf", "nan", "0x1p3", "1e", "1e+", "e5", "--1", "+-1", "12a", "1e400"})
        EXPECT_THROW(StrToFloat(bad), ConvertError) << '"' << bad << '"';
}

TEST(NumberPattern, ZeroPlaceholderWithLiteralSuffix)
{
    EXPECT_EQ(FormatNumber("0s", 300), "300s");
    EXPECT_EQ(FormatNumber("0s", 1), "1s");
    EXPECT_EQ(FormatNumber("0s", 0), "0s");
    EXPECT_EQ(FormatNumber("0s", -3), "-3s");
    EXPECT_EQ(FormatNumber("000", 7), "007");
    EXPECT_EQ(FormatNumber("#0", 0), "0");
    EXPECT_EQ(FormatNumber("##", 0), "");
    EXPECT_EQ(FormatNumber("t=0 ms", 12), "t=12 ms");
}

TEST(MessageFormat, FillsDirectivesInOrder)
{
    EXPECT_EQ(Format("Invalid data type for '%s'", "x"), "Invalid data type for 'x'");
    EXPECT_EQ(Format("Windows socket error: %s (%d), on API '%s'", "Connection refused", 10061, "connect"),
              "Windows socket error: Connection refused (10061), on API 'connect'");
    EXPECT_EQ(Format("100%% of %d", 3), "100% of 3");
    EXPECT_EQ(Format("List index out of bounds (%d)", -1), "List index out of bounds (-1)");
    EXPECT_EQ(Format("%s and %s", "one"), "one and %s");
    EXPECT_EQ(Format("no directive", 1), "no directive");
}
