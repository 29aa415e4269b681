#pragma once

// Socket error numbers as the components report them: the Windows Sockets numbers, taken
// from the system's errno values and host-lookup failures through one table, with the
// system's own texts.

#include "platform/socket_error_numbers.h"

#include <string>

namespace net {

using platform::WSAEADDRINUSE;
using platform::WSAECONNREFUSED;
using platform::WSAECONNRESET;
using platform::WSAENETUNREACH;
using platform::WSAETIMEDOUT;
using platform::WSAEWOULDBLOCK;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
// No such address to connect to (0.0.0.0, say); also a lookup that gives only that.
inline constexpr int WSAEADDRNOTAVAIL = 10049;

using platform::WinSockErrorFromErrno;

// The Windows Sockets number of a failed host lookup (a getaddrinfo result; `errnoValue`
// serves EAI_SYSTEM).
int WinSockErrorFromLookup(int lookupError, int errnoValue);

// The system's text for a number from the two functions above, without trailing blanks,
// line breaks and full stops.
std::string SocketErrorText(int winSockError);

// "Windows socket error: <text> (<number>), on API '<operation>'".
std::string SocketErrorMessage(int winSockError, const std::string& operation);

} // namespace net
