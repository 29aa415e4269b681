#pragma once

// Asynchronous TCP sockets on the main loop: the socket object TCustomWinSocket, the client
// component TClientSocket, and the server component TServerSocket with its listener and
// connection objects. Everything runs on the main thread; see each header.

#include "net/client_socket.h"     // IWYU pragma: export
#include "net/custom_win_socket.h" // IWYU pragma: export
#include "net/server_socket.h"     // IWYU pragma: export
#include "net/server_win_socket.h" // IWYU pragma: export
#include "net/socket_component.h"  // IWYU pragma: export
#include "net/socket_errors.h"     // IWYU pragma: export
#include "net/socket_types.h"      // IWYU pragma: export
