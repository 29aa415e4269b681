#pragma once

// The texts the time server exchanges with the clock client.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace timeserver {

// The client's request, "{" + echo code + "TavrinClient1010}", gives its echo code. The
// code is the client's number left-padded with "0" ("0042", "9999", "000-12" for -12).
// Nothing when `request` is anything else.
std::optional<std::int32_t> EchoCodeOfRequest(std::string_view request);

// The four characters that the client reads back as `code`: "0042" for 42, "-012" for
// -12. Nothing for a number that four characters cannot hold.
std::optional<std::string> EchoCodeField(std::int32_t code);

// One time reply frame: "{TAVRIN_" + source + ",0," + state + "," + echo code + seconds + "}".
std::string TimeReplyFrame(char source, char state, std::string_view echoCodeField, std::int64_t secondsSince1970);

// A status datagram: source + ",0," + state.
std::string StatusDatagram(char source, char state);

// `text` for a log line: printable ASCII as it is, anything else as \xHH.
std::string Printable(std::string_view text);

} // namespace timeserver
