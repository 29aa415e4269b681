#include "net/socket_errors.h"

#include "framework/format.h"
#include "net/socket_types.h"

#include <netdb.h>

#include <cstring>

namespace net {
namespace {

struct LookupEntry {
    int winSock;
    int lookupError;
};

constexpr LookupEntry kLookupTable[] = {
    {11001, EAI_NONAME}, {11002, EAI_AGAIN}, {11003, EAI_FAIL}, {11004, EAI_NODATA}, {11004, EAI_ADDRFAMILY},
};

std::string TrimmedText(std::string text)
{
    while (!text.empty() && std::strchr(" \t\r\n.", text.back()))
        text.pop_back();
    return text;
}

} // namespace

int WinSockErrorFromLookup(int lookupError, int errnoValue)
{
    if (lookupError == EAI_SYSTEM)
        return WinSockErrorFromErrno(errnoValue);
    for (const LookupEntry& entry : kLookupTable)
        if (entry.lookupError == lookupError)
            return entry.winSock;
    return WSAHOST_NOT_FOUND;
}

std::string SocketErrorText(int winSockError)
{
    for (const LookupEntry& entry : kLookupTable)
        if (entry.winSock == winSockError)
            return TrimmedText(gai_strerror(entry.lookupError));
    const int errnoValue = platform::ErrnoFromWinSockError(winSockError);
    return TrimmedText(std::strerror(errnoValue != 0 ? errnoValue : winSockError));
}

std::string SocketErrorMessage(int winSockError, const std::string& operation)
{
    return framework::Format(kWindowsSocketError, SocketErrorText(winSockError), winSockError, operation);
}

} // namespace net
