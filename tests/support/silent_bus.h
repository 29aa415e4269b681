#pragma once

// A Unix socket where a bus should be, that takes every connection and never answers: what
// a hung bus daemon looks like to its clients. It stands in for the system bus through
// DBUS_SYSTEM_BUS_ADDRESS; nothing of the machine's own buses is touched.

#include "platform/unique_fd.h"

#include <atomic>
#include <string>
#include <thread>

namespace testsupport {

class SilentBus {
public:
    enum class Silence {
        FromTheStart,        // not a byte back
        AfterAuthentication, // lets the client authenticate, then nothing more
    };

    explicit SilentBus(Silence silence = Silence::FromTheStart);
    ~SilentBus();
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;

    // "unix:path=...": empty when the socket could not be made.
    const std::string& Address() const { return address_; }
    // Connections taken so far.
    int Connections() const { return connections_; }

private:
    void Serve(Silence silence);

    std::string folder_;
    std::string address_;
    platform::UniqueFd listener_;
    platform::UniqueFd stop_; // an eventfd that ends the serving thread
    std::atomic<int> connections_{0};
    std::thread server_;
};

} // namespace testsupport
