#include "platform/socket_error_numbers.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(SocketErrorNumbers, TheSystemsErrorsCarryTheirWindowsSocketsNumbers)
{
    EXPECT_EQ(platform::WinSockErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(platform::WinSockErrorFromErrno(EINPROGRESS), 10035); // a non-blocking connect under way
    EXPECT_EQ(platform::WinSockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(platform::WinSockErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(platform::WinSockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(platform::WinSockErrorFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(platform::WinSockErrorFromErrno(EPIPE), 10058);
    EXPECT_EQ(platform::WinSockErrorFromErrno(ENODEV), ENODEV); // no counterpart: as it is
}

TEST(SocketErrorNumbers, ANumberLeadsBackToTheErrnoItStandsFor)
{
    EXPECT_EQ(platform::ErrnoFromWinSockError(10035), EWOULDBLOCK);
    EXPECT_EQ(platform::ErrnoFromWinSockError(10061), ECONNREFUSED);
    EXPECT_EQ(platform::ErrnoFromWinSockError(10058), ESHUTDOWN);
    EXPECT_EQ(platform::ErrnoFromWinSockError(11001), 0);
}
