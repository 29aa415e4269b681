#include "app/main_form.h"
#include "framework/convert.h"
#include "framework/text.h"
#include "tools/time-server/time_messages.h"

#include <gtest/gtest.h>

using keeper::RequestTextFor;
using namespace timeserver;

TEST(TimeServerRequests, GiveTheClientsEchoCode)
{
    EXPECT_EQ(EchoCodeOfRequest("{9999TavrinClient1010}"), 9999);
    EXPECT_EQ(EchoCodeOfRequest("{0042TavrinClient1010}"), 42);
    EXPECT_EQ(EchoCodeOfRequest("{0000TavrinClient1010}"), 0);
    EXPECT_EQ(EchoCodeOfRequest("{000-12TavrinClient1010}"), -12);
    EXPECT_EQ(EchoCodeOfRequest("{123456TavrinClient1010}"), 123456);
}

TEST(TimeServerRequests, AnythingElseIsNoRequest)
{
    for (const char* text :
         {"", "}", "{TavrinClient1010}", "{0042TavrinClient1010", "0042TavrinClient1010}", "x{0042TavrinClient1010}",
          "{0042TavrinClient1011}", "{00x2TavrinClient1010}", "{+042TavrinClient1010}", "{ 042TavrinClient1010}",
          "{00-TavrinClient1010}", "{0-0-1TavrinClient1010}", "{99999999999TavrinClient1010}"})
        EXPECT_FALSE(EchoCodeOfRequest(text)) << text;
}

TEST(TimeServerRequests, EveryCodeTheClientCanHoldMakesTheRoundTrip)
{
    // The client can only hold what four characters of a time code give it.
    for (std::int32_t code = -999; code <= 9999; ++code) {
        const std::optional<std::int32_t> heard = EchoCodeOfRequest("{" + RequestTextFor(code) + "}");
        ASSERT_EQ(heard, code);
        const std::optional<std::string> field = EchoCodeField(code);
        ASSERT_TRUE(field);
        ASSERT_EQ(field->size(), 4u);
        ASSERT_EQ(framework::StrToInt(*field), code) << *field;
    }
    EXPECT_FALSE(EchoCodeField(10000));
    EXPECT_FALSE(EchoCodeField(-1000));
}

TEST(TimeServerReplies, AFrameHoldsEachFieldWhereTheClientLooks)
{
    const std::string frame = TimeReplyFrame('1', '2', "0042", 1211371200);
    EXPECT_EQ(frame, "{TAVRIN_1,0,2,00421211371200}");

    // The client skips the lead character and reads 1-based positions of what follows.
    const std::string code = framework::Copy(frame, 2, static_cast<int>(frame.size()) - 2);
    EXPECT_EQ(framework::Pos("TAVRIN_", code), 1);
    EXPECT_EQ(framework::Copy(code, 8, 1), "1");
    EXPECT_EQ(framework::Copy(code, 10, 1), "0");
    EXPECT_EQ(framework::Copy(code, 12, 1), "2");
    EXPECT_EQ(framework::Copy(code, 14, 4), "0042");
    EXPECT_EQ(framework::Copy(code, 18, 100), "1211371200");
}

TEST(TimeServerReplies, TimesPast2038AreWrittenWhole)
{
    EXPECT_EQ(TimeReplyFrame('3', '0', "-012", 4102444800), "{TAVRIN_3,0,0,-0124102444800}");
}

TEST(TimeServerStatus, ADatagramIsSourceAndStateAtTheirPlaces)
{
    EXPECT_EQ(StatusDatagram('1', '2'), "1,0,2");
    EXPECT_EQ(StatusDatagram('0', '3'), "0,0,3");
}

TEST(TimeServerLog, ShowsUnprintableBytesEscaped)
{
    EXPECT_EQ(Printable("{0042}"), "{0042}");
    EXPECT_EQ(Printable(std::string("a\nb\0c\\\xff", 7)), "a\\x0ab\\x00c\\x5c\\xff");
}
