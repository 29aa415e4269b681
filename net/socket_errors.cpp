#include "net/socket_errors.h"

#include "framework/format.h"
#include "net/socket_types.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace net {
namespace {

struct ErrnoEntry {
    int winSock;
    int errnoValue;
};

// The first entry for a Windows Sockets number gives its text.
constexpr ErrnoEntry kErrnoTable[] = {
    {10004, EINTR},        {10009, EBADF},           {10013, EACCES},          {10014, EFAULT},
    {10022, EINVAL},       {10024, EMFILE},          {10035, EWOULDBLOCK},     {10035, EINPROGRESS},
    {10037, EALREADY},     {10038, ENOTSOCK},        {10039, EDESTADDRREQ},    {10040, EMSGSIZE},
    {10041, EPROTOTYPE},   {10042, ENOPROTOOPT},     {10043, EPROTONOSUPPORT}, {10044, ESOCKTNOSUPPORT},
    {10045, EOPNOTSUPP},   {10046, EPFNOSUPPORT},    {10047, EAFNOSUPPORT},    {10048, EADDRINUSE},
    {10049, EADDRNOTAVAIL}, {10050, ENETDOWN},       {10051, ENETUNREACH},     {10052, ENETRESET},
    {10053, ECONNABORTED}, {10054, ECONNRESET},      {10055, ENOBUFS},         {10055, ENOMEM},
    {10056, EISCONN},      {10057, ENOTCONN},        {10058, ESHUTDOWN},       {10058, EPIPE},
    {10059, ETOOMANYREFS}, {10060, ETIMEDOUT},       {10061, ECONNREFUSED},    {10062, ELOOP},
    {10063, ENAMETOOLONG}, {10064, EHOSTDOWN},       {10065, EHOSTUNREACH},    {10066, ENOTEMPTY},
    {10068, EUSERS},       {10069, EDQUOT},          {10070, ESTALE},          {10071, EREMOTE},
};

struct LookupEntry {
    int winSock;
    int lookupError;
};

constexpr LookupEntry kLookupTable[] = {
    {11001, EAI_NONAME},
    {11002, EAI_AGAIN},
    {11003, EAI_FAIL},
    {11004, EAI_NODATA},
    {11004, EAI_ADDRFAMILY},
};

std::string TrimmedText(std::string text)
{
    while (!text.empty() && std::strchr(" \t\r\n.", text.back()))
        text.pop_back();
    return text;
}

} // namespace

int WinSockErrorFromErrno(int errnoValue)
{
    for (const ErrnoEntry& entry : kErrnoTable)
        if (entry.errnoValue == errnoValue)
            return entry.winSock;
    return errnoValue;
}

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
    for (const ErrnoEntry& entry : kErrnoTable)
        if (entry.winSock == winSockError)
            return TrimmedText(std::strerror(entry.errnoValue));
    return TrimmedText(std::strerror(winSockError));
}

std::string SocketErrorMessage(int winSockError, const std::string& operation)
{
    return framework::Format(sWindowsSocketError, SocketErrorText(winSockError), winSockError, operation);
}

} // namespace net
