#pragma once

// What the keeper is told to do: which server to ask, how far it may step the clock, how
// often it asks. The faces fill it from their own stores (the tray's registry, the service's
// configuration files); the server's text is read here and nowhere else.

#include <chrono>
#include <cstdint>
#include <string>

namespace keeper {

// The server as configured: a dotted IPv4 address, taken as it stands, or a name, looked up
// at each request.
class ServerName {
public:
    ServerName() = default;
    explicit ServerName(std::string text);

    const std::string& Text() const { return text_; }
    bool Empty() const { return text_.empty(); }
    // Four numbers from 0 to 255 separated by dots: no lookup needed.
    bool IsAddress() const { return isAddress_; }
    // Whether `name` names the same server, as a host name compares: without regard to case.
    bool SameName(const std::string& name) const;

private:
    std::string text_;
    bool isAddress_ = false;
};

struct KeeperSettings {
    static constexpr std::chrono::seconds kDefaultInterval{300};
    // What the interval may be: more often would burden the server, less would leave the
    // clock to drift for more than a day.
    static constexpr std::chrono::seconds kShortestInterval{16};
    static constexpr std::chrono::seconds kLongestInterval{86400};

    ServerName server{"127.0.0.1"};
    std::uint32_t maxStepSeconds = 0;                 // how far a step of the clock may go; 0: any distance
    std::chrono::seconds interval = kDefaultInterval; // between two requests
};

} // namespace keeper
