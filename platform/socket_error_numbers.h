#pragma once

// Socket failures are reported by their Windows Sockets numbers, the numbers the program's
// messages and its peers know; this is the one table that maps the system's errno values
// to them.

namespace platform {

// The numbers that callers single out.
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;

// The Windows Sockets number of an errno value. EINPROGRESS counts as WSAEWOULDBLOCK, the
// normal outcome of a non-blocking connect. An errno without a counterpart is returned
// as it is.
int WinSockErrorFromErrno(int errnoValue);

// The errno value a Windows Sockets number stands for, or 0 when there is none.
int ErrnoFromWinSockError(int winSockError);

} // namespace platform
