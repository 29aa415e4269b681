#pragma once

// The time server's command line.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace timeserver {

struct ServerOptions {
    // What it sends
    char source = '1';                        // time source digit: 0 PC clock, 1 GPS, 3 NTP
    char state = '2';                         // sync state digit: 0 to 3
    std::int64_t offsetSeconds = 0;           // added to this machine's clock in replies
    std::optional<std::string> fixedEchoCode; // four characters; unset: echo the request's code
    // Where in the second each reply of a run is written: the first at the first point
    // given, and so on, the last point for the rest; none: at once. Lets a test know what
    // the client's clock reads when a reply arrives.
    std::vector<std::chrono::milliseconds> phases;

    // Where
    in_addr listenAddress{htonl(INADDR_LOOPBACK)};
    std::uint16_t listenPort = 6645;
    std::uint16_t replyPort = 6646;
    in_addr multicastInterface{htonl(INADDR_LOOPBACK)};
    std::uint16_t groupPort = 6649;
    std::chrono::milliseconds statusInterval{10'000}; // zero: no status datagrams

    // Faults, for tests of the client
    int framesPerReply = 1;
    bool splitReply = false;             // the reply in two writes, 250 ms apart
    std::optional<std::string> rawReply; // sent instead of the frame
    bool noReply = false;                // read the request, never answer
    bool closeAtOnce = false;            // close request connections unread
    std::chrono::milliseconds replyDelay{0};

    // Fast runs: each request is answered with this many replies, one after another, each
    // on a connection of its own, as if a day of requests came in a minute.
    int repliesPerRequest = 1;
    std::chrono::milliseconds replyInterval{0}; // between the end of one and the start of the next
};

struct CommandLine {
    enum class Action { Run, Help, UsageError };

    Action action = Action::Run;
    ServerOptions options;
    std::string error; // for UsageError: what was wrong, in one line
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// An IPv4 address in dotted decimal, as the options take it.
std::string AddressText(in_addr address);

std::string HelpText();

} // namespace timeserver
