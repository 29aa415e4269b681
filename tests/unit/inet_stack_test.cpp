#include "framework/exception.h"
#include "net/inet/exceptions.h"
#include "net/inet/stack.h"
#include "tests/support/fakes.h"
#include "tests/support/raised_by.h"
#include "tests/support/stack_holder.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

using namespace net::inet; // the components under test
using platform::Ipv4Address;
using testsupport::RaisedBy;
using testsupport::StackHolder;

TEST(AddressText, DottedQuadIsFourNumbersFrom0To255)
{
    for (const char* text : {"224.0.0.1", "0.0.0.0", "255.255.255.255", "192.168.1.5"})
        EXPECT_TRUE(TIdStack::IsDottedQuad(text)) << text;
    for (const char* text :
         {"224.0.0", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "a.b.c.d", "", "1..2.3", "-1.0.0.0", "1.2.3.4."})
        EXPECT_FALSE(TIdStack::IsDottedQuad(text)) << text;
}

TEST(AddressText, BytesBecomeDecimalNumbersWithoutLeadingZeros)
{
    EXPECT_EQ(TIdStack::AddressToText({0x0A, 0x00, 0x00, 0x01}), "10.0.0.1");
    EXPECT_EQ(TIdStack::AddressToText({0xC0, 0xA8, 0x01, 0x05}), "192.168.1.5");
    EXPECT_EQ(TIdStack::AddressToText({0xFF, 0xFF, 0xFF, 0xFF}), "255.255.255.255");
}

TEST(AddressText, TextBecomesBytesInNetworkOrder)
{
    EXPECT_EQ(TIdStack::TextToAddress("224.0.0.1"), (Ipv4Address{0xE0, 0x00, 0x00, 0x01}));
    EXPECT_EQ(TIdStack::TextToAddress("192.168.1.5"), (Ipv4Address{0xC0, 0xA8, 0x01, 0x05}));
    EXPECT_THROW(TIdStack::TextToAddress("224.0.0"), framework::ConvertError);
    EXPECT_THROW(TIdStack::TextToAddress("224.x.0.1"), framework::ConvertError);
}

TEST(AddressText, SplitAtFirstTakesTheHeadOffTheText)
{
    std::string text = "224.0.0.1";
    EXPECT_EQ(TIdStack::SplitAtFirst(text, "."), "224");
    EXPECT_EQ(text, "0.0.1");

    std::string single = "lonely";
    EXPECT_EQ(TIdStack::SplitAtFirst(single, "."), "lonely");
    EXPECT_EQ(single, "");

    std::string mixed = "aXbxc";
    EXPECT_EQ(TIdStack::SplitAtFirst(mixed, "x"), "aXb");
    EXPECT_EQ(mixed, "c");
}

TEST(SocketErrorText, NamesTheCodeOnOneLineAndItsTextOnTheNext)
{
    EXPECT_EQ(TIdStack::ErrorText(10040), "Socket Error # 10040\r\nMessage too long.");
    EXPECT_EQ(TIdStack::ErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(TIdStack::ErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(TIdStack::ErrorText(11001), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(TIdStack::ErrorText(10004), "Socket Error # 10004\r\nInterrupted system call.");
}

TEST(SocketErrorText, UnknownCodeEndsWithTheLineFeed)
{
    EXPECT_EQ(TIdStack::ErrorText(12345), "Socket Error # 12345\r\n");
}

TEST(ProcessStack, OneStackWhileAnyComponentLives)
{
    ASSERT_EQ(ProcessStack(), nullptr);
    auto first = std::make_unique<StackHolder>();
    TIdStack* const stack = ProcessStack();
    ASSERT_NE(stack, nullptr);
    auto second = std::make_unique<StackHolder>();
    EXPECT_EQ(ProcessStack(), stack);
    first.reset();
    EXPECT_EQ(ProcessStack(), stack);
    second.reset();
    EXPECT_EQ(ProcessStack(), nullptr);

    StackHolder again;
    EXPECT_NE(ProcessStack(), nullptr);
}

class StackCalls : public testing::Test {
protected:
    TIdStack& Stack() { return *ProcessStack(); }

    StackHolder holder;
};

TEST_F(StackCalls, FailedCallRaisesItsNumberedText)
{
    const int result = Stack().CloseSocketDescriptor(-1);
    try {
        Stack().CheckSocketCall(result);
        FAIL() << "no exception";
    } catch (const EIdSocketError& error) {
        EXPECT_EQ(error.SocketErrorCode(), 10009);
        EXPECT_EQ(error.Message(), "Socket Error # 10009\r\nBad file number.");
    }
    EXPECT_EQ(Stack().StackLastError(), 10009);
}

TEST_F(StackCalls, IgnoredCodeGivesTrueWithoutRaising)
{
    EXPECT_FALSE(Stack().CheckSocketCall(0));
    EXPECT_TRUE(Stack().CheckSocketCall(Stack().CloseSocketDescriptor(-1), {10048, 10009}));
    EXPECT_THROW(Stack().CheckSocketCall(Stack().CloseSocketDescriptor(-1), {10048}), EIdSocketError);
}

TEST_F(StackCalls, SocketThatCannotBeMadeRaisesItsOwnText)
{
    EXPECT_EQ(RaisedBy<EIdInvalidSocket>([&] { (void)Stack().NewSocket(12345, 0); }), "Cannot allocate socket.");
}

TEST_F(StackCalls, WaitKeepsOnlyTheReadableDescriptorsInOrder)
{
    int quiet[2];
    int busy[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, quiet), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, busy), 0);
    ASSERT_EQ(write(busy[1], "x", 1), 1);
    ASSERT_EQ(write(quiet[1], "y", 1), 1);
    ASSERT_EQ(write(busy[1], "z", 1), 1);

    std::vector<int> list{busy[0], quiet[1], quiet[0]};
    EXPECT_EQ(Stack().WaitReadable(list, 1000), 2);
    EXPECT_EQ(list, (std::vector<int>{busy[0], quiet[0]}));

    std::vector<int> none{quiet[1], busy[1]};
    EXPECT_EQ(Stack().WaitReadable(none, 0), 0);
    EXPECT_TRUE(none.empty());

    for (const int descriptor : {quiet[0], quiet[1], busy[0], busy[1]})
        close(descriptor);
}

TEST_F(StackCalls, WaitTakesAtMost64Descriptors)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    std::vector<int> full(64, pair[0]);
    EXPECT_NO_THROW(Stack().WaitReadable(full, 0));

    std::vector<int> tooMany(65, pair[0]);
    EXPECT_EQ(RaisedBy<EIdStackSetSizeExceeded>([&] { Stack().WaitReadable(tooMany, 0); }), "Set Size Exceeded.");
    close(pair[0]);
    close(pair[1]);
}

class LocalAddressLookup : public StackCalls {
protected:
    void SetUp() override
    {
        addresses.addresses.clear();
        TIdStack::UseLocalAddressSource(&addresses);
    }
    void TearDown() override { TIdStack::UseLocalAddressSource(nullptr); }

    testsupport::FakeLocalAddresses addresses;
};

TEST_F(LocalAddressLookup, ListsTheAddressesAsTextInTheSourcesOrder)
{
    addresses.addresses = {{192, 168, 1, 5}, {10, 0, 0, 1}, {127, 0, 0, 1}};
    EXPECT_EQ(Stack().LocalAddressList(), (std::vector<std::string>{"192.168.1.5", "10.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(Stack().FirstLocalAddress(), "192.168.1.5");

    addresses.addresses = {{127, 0, 0, 1}};
    EXPECT_EQ(Stack().LocalAddressList(), (std::vector<std::string>{"127.0.0.1"}));
}

TEST_F(LocalAddressLookup, NoAddressAtAllRaises)
{
    EXPECT_TRUE(Stack().LocalAddressList().empty());
    EXPECT_THROW(Stack().FirstLocalAddress(), framework::Exception);
}

TEST_F(LocalAddressLookup, FailedLookupRaisesTheSocketError)
{
    addresses.failure = EMFILE;
    try {
        Stack().FirstLocalAddress();
        FAIL() << "no exception";
    } catch (const EIdSocketError& error) {
        EXPECT_EQ(error.SocketErrorCode(), 10024);
        EXPECT_EQ(error.Message(), "Socket Error # 10024\r\nToo many open files.");
    }
}
