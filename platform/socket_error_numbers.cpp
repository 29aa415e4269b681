#include "platform/socket_error_numbers.h"

#include <cerrno>

namespace platform {
namespace {

struct ErrnoEntry {
    int winSock;
    int errnoValue;
};

// The first entry for a Windows Sockets number is the one it stands for.
constexpr ErrnoEntry kErrnoTable[] = {
    {10004, EINTR},         {10009, EBADF},        {10013, EACCES},          {10014, EFAULT},
    {10022, EINVAL},        {10024, EMFILE},       {10035, EWOULDBLOCK},     {10035, EINPROGRESS},
    {10037, EALREADY},      {10038, ENOTSOCK},     {10039, EDESTADDRREQ},    {10040, EMSGSIZE},
    {10041, EPROTOTYPE},    {10042, ENOPROTOOPT},  {10043, EPROTONOSUPPORT}, {10044, ESOCKTNOSUPPORT},
    {10045, EOPNOTSUPP},    {10046, EPFNOSUPPORT}, {10047, EAFNOSUPPORT},    {10048, EADDRINUSE},
    {10049, EADDRNOTAVAIL}, {10050, ENETDOWN},     {10051, ENETUNREACH},     {10052, ENETRESET},
    {10053, ECONNABORTED},  {10054, ECONNRESET},   {10055, ENOBUFS},         {10055, ENOMEM},
    {10056, EISCONN},       {10057, ENOTCONN},     {10058, ESHUTDOWN},       {10058, EPIPE},
    {10059, ETOOMANYREFS},  {10060, ETIMEDOUT},    {10061, ECONNREFUSED},    {10062, ELOOP},
    {10063, ENAMETOOLONG},  {10064, EHOSTDOWN},    {10065, EHOSTUNREACH},    {10066, ENOTEMPTY},
    {10068, EUSERS},        {10069, EDQUOT},       {10070, ESTALE},          {10071, EREMOTE},
};

} // namespace

int WinSockErrorFromErrno(int errnoValue)
{
    for (const ErrnoEntry& entry : kErrnoTable)
        if (entry.errnoValue == errnoValue)
            return entry.winSock;
    return errnoValue;
}

int ErrnoFromWinSockError(int winSockError)
{
    for (const ErrnoEntry& entry : kErrnoTable)
        if (entry.winSock == winSockError)
            return entry.errnoValue;
    return 0;
}

} // namespace platform
