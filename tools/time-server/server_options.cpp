#include "tools/time-server/server_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <functional>
#include <map>
#include <stdexcept>
#include <string_view>

namespace timeserver {
namespace {

// Raised by the value parsers; the message names what was wrong.
class BadValue : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

template <typename Number>
Number WholeNumber(std::string_view text, Number lowest, Number highest, const char* what)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < lowest || value > highest)
        throw BadValue(std::string(what) + " from " + std::to_string(lowest) + " to " + std::to_string(highest));
    return value;
}

std::uint16_t Port(std::string_view text, bool zeroAllowed)
{
    return WholeNumber<std::uint16_t>(text, zeroAllowed ? 0 : 1, 65535, "a port number");
}

in_addr Address(std::string_view text)
{
    in_addr address{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &address) != 1)
        throw BadValue("a dotted IPv4 address such as 127.0.0.1");
    return address;
}

char Digit(std::string_view text)
{
    if (text.size() != 1 || text[0] < '0' || text[0] > '9')
        throw BadValue("one digit from 0 to 9");
    return text[0];
}

// Seconds with up to three decimals: "10", "0.25".
std::chrono::milliseconds Duration(std::string_view text)
{
    constexpr const char* kWhat = "seconds from 0 to 86400, with at most three decimals";
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string fraction(point == std::string_view::npos ? "" : text.substr(point + 1));
    if (whole.empty() || fraction.size() > 3 || (point != std::string_view::npos && fraction.empty())
        || fraction.find_first_not_of("0123456789") != std::string::npos)
        throw BadValue(kWhat);
    fraction.resize(3, '0');
    const int seconds = WholeNumber<int>(whole, 0, 86400, kWhat);
    const int milliseconds = WholeNumber<int>(fraction, 0, 999, kWhat);
    const std::chrono::milliseconds duration = std::chrono::seconds(seconds) + std::chrono::milliseconds(milliseconds);
    if (duration > std::chrono::seconds(86400))
        throw BadValue(kWhat);
    return duration;
}

// "0.5" or "0.2,0.5": fractions of a second.
std::vector<std::chrono::milliseconds> Phases(std::string_view text)
{
    std::vector<std::chrono::milliseconds> phases;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view one = text.substr(start, comma - start);
        const std::chrono::milliseconds phase = one.empty() ? std::chrono::seconds(1) : Duration(one);
        if (phase >= std::chrono::seconds(1))
            throw BadValue("fractions of a second from 0 to 0.999, separated by commas");
        phases.push_back(phase);
        start = comma + 1;
    }
    return phases;
}

std::optional<std::string> EchoCodePolicy(std::string_view text)
{
    if (text == "request")
        return std::nullopt;
    if (text.size() != 4 || text.find_first_of("{}") != std::string_view::npos)
        throw BadValue("'request' or a code of exactly four characters without braces");
    return std::string(text);
}

using Setter = std::function<void(ServerOptions&, std::string_view)>;

// Options that take a value, with what each does with it.
const std::map<std::string, Setter, std::less<>>& ValueOptions()
{
    static const std::map<std::string, Setter, std::less<>> options = {
        {"--source", [](ServerOptions& o, std::string_view v) { o.source = Digit(v); }},
        {"--state", [](ServerOptions& o, std::string_view v) { o.state = Digit(v); }},
        {"--offset",
         [](ServerOptions& o, std::string_view v) {
             // About ±300 years: enough for any test, far from overflowing a time value.
             o.offsetSeconds = WholeNumber<std::int64_t>(v, -10'000'000'000, 10'000'000'000, "seconds");
         }},
        {"--echo-code", [](ServerOptions& o, std::string_view v) { o.fixedEchoCode = EchoCodePolicy(v); }},
        {"--phase", [](ServerOptions& o, std::string_view v) { o.phases = Phases(v); }},
        {"--listen-address", [](ServerOptions& o, std::string_view v) { o.listenAddress = Address(v); }},
        {"--listen-port", [](ServerOptions& o, std::string_view v) { o.listenPort = Port(v, true); }},
        {"--reply-port", [](ServerOptions& o, std::string_view v) { o.replyPort = Port(v, false); }},
        {"--multicast-interface", [](ServerOptions& o, std::string_view v) { o.multicastInterface = Address(v); }},
        {"--group-port", [](ServerOptions& o, std::string_view v) { o.groupPort = Port(v, false); }},
        {"--status-interval", [](ServerOptions& o, std::string_view v) { o.statusInterval = Duration(v); }},
        {"--frames",
         [](ServerOptions& o, std::string_view v) { o.framesPerReply = WholeNumber(v, 1, 100, "a count"); }},
        {"--raw", [](ServerOptions& o, std::string_view v) { o.rawReply = std::string(v); }},
        {"--reply-delay", [](ServerOptions& o, std::string_view v) { o.replyDelay = Duration(v); }},
        {"--replies",
         [](ServerOptions& o, std::string_view v) { o.repliesPerRequest = WholeNumber(v, 1, 100'000, "a count"); }},
        {"--reply-interval", [](ServerOptions& o, std::string_view v) { o.replyInterval = Duration(v); }},
    };
    return options;
}

const std::map<std::string, bool ServerOptions::*, std::less<>>& FlagOptions()
{
    static const std::map<std::string, bool ServerOptions::*, std::less<>> flags = {
        {"--split", &ServerOptions::splitReply},
        {"--no-reply", &ServerOptions::noReply},
        {"--close-at-once", &ServerOptions::closeAtOnce},
    };
    return flags;
}

CommandLine UsageError(std::string error)
{
    CommandLine result;
    result.action = CommandLine::Action::UsageError;
    result.error = std::move(error);
    return result;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine result;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        // "--name value" or "--name=value"
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (const auto flag = FlagOptions().find(name); flag != FlagOptions().end()) {
            if (equals != std::string::npos)
                return UsageError("option '" + name + "' takes no value");
            result.options.*(flag->second) = true;
            continue;
        }
        const auto option = ValueOptions().find(name);
        if (option == ValueOptions().end())
            return UsageError("unknown option '" + argument + "'");
        std::string value;
        if (equals != std::string::npos)
            value = argument.substr(equals + 1);
        else if (i + 1 < arguments.size())
            value = arguments[++i];
        else
            return UsageError("option '" + name + "' needs a value");
        try {
            option->second(result.options, value);
        } catch (const BadValue& expected) {
            return UsageError("bad value '" + value + "' for " + name + ": expected " + expected.what());
        }
    }
    if (result.options.rawReply && result.options.fixedEchoCode)
        return UsageError("--raw replaces the frame, so --echo-code has nothing to set");
    return result;
}

std::string HelpText()
{
    return "Usage: tavrin-time-server [OPTION]...\n"
           "A reference time server for the Tavrin client. It answers each request with a time\n"
           "reply on a connection back to the client, sends status datagrams to the multicast\n"
           "group 224.0.0.1, and prints one line for each request, reply and datagram.\n"
           "\n"
           "What it sends:\n"
           "  --source DIGIT              time source: 0 PC clock, 1 GPS, 3 NTP (default 1)\n"
           "  --state DIGIT               sync state: 0 red, 1 yellow, 2 lime, 3 grey (default 2)\n"
           "  --offset SECONDS            added to this machine's clock in replies (default 0)\n"
           "  --echo-code request|CODE    echo the request's code (default), or send these four\n"
           "                              characters\n"
           "  --phase FRACTION[,FRACTION]...\n"
           "                              write each reply at this point of the second (0 to\n"
           "                              0.999); the replies of a run take the points in turn,\n"
           "                              the last for the rest; default: at once\n"
           "Where:\n"
           "  --listen-address ADDRESS    where requests arrive (default 127.0.0.1)\n"
           "  --listen-port PORT          (default 6645; 0 picks a free one)\n"
           "  --reply-port PORT           the client's reply port (default 6646)\n"
           "  --multicast-interface ADDRESS\n"
           "                              the interface status datagrams leave by\n"
           "                              (default 127.0.0.1: they stay on this machine)\n"
           "  --group-port PORT           (default 6649)\n"
           "  --status-interval SECONDS   between status datagrams (default 10; 0: none)\n"
           "Faults, for testing the client:\n"
           "  --frames N                  N frames in one reply\n"
           "  --split                     the reply in two writes, 250 ms apart\n"
           "  --raw TEXT                  send TEXT instead of a frame\n"
           "  --no-reply                  read each request, close, and never answer\n"
           "  --close-at-once             close each request connection without reading it\n"
           "  --reply-delay SECONDS       wait before connecting back\n"
           "Fast runs:\n"
           "  --replies N                 answer each request with N replies, one after\n"
           "                              another, each on a connection of its own (default 1)\n"
           "  --reply-interval SECONDS    between the end of one and the start of the next\n"
           "                              (default 0; with --phase, at most one a second)\n"
           "\n"
           "  --help                      show this help and exit\n"
           "Values may also be given as --option=VALUE.\n";
}

std::string AddressText(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    // Fails only for another family or a buffer too small, neither of which this can be
    // given; a fault there still shows as the mark, not as a bad read.
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
        return "?";
    return text;
}

} // namespace timeserver
