#pragma once

// The failures of the internet components, each with its fixed message. On a worker
// thread they end the thread quietly; elsewhere they travel to whoever made the call.

#include "framework/exception.h"
#include "framework/format.h"

namespace net::inet {

class EIdException : public framework::Exception {
public:
    using framework::Exception::Exception;
};

// A failed socket call, numbered with the Windows Sockets code that the program's
// messages use (see TIdStack::ErrorText).
class EIdSocketError : public EIdException {
public:
    explicit EIdSocketError(int code);
    int SocketErrorCode() const { return code_; }

private:
    int code_;
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdStackSetSizeExceeded : public EIdStackError {
public:
    EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
    EIdCouldNotBindSocket() : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class EIdInvalidPortRange : public EIdSocketHandleError {
public:
    EIdInvalidPortRange(int low, int high)
        : EIdSocketHandleError(framework::Format("Invalid Port Range (%d - %d)", low, high))
    {
    }
};

class EIdCanNotBindPortInRange : public EIdSocketHandleError {
public:
    EIdCanNotBindPortInRange(int low, int high)
        : EIdSocketHandleError(framework::Format("Can not bind in port range (%d - %d)", low, high))
    {
    }
};

class EIdMCastException : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdMCastNoBindings : public EIdMCastException {
public:
    EIdMCastNoBindings() : EIdMCastException("No bindings specified.") {}
};

class EIdMCastNotValidAddress : public EIdMCastException {
public:
    EIdMCastNotValidAddress()
        : EIdMCastException("The supplied IP address is not a valid multicast address [224.0.0.0 to 239.255.255.255].")
    {
    }
};

} // namespace net::inet
