#pragma once

// Reading what a program sent to the journal, as tests catch it at the journal's socket.

#include <map>
#include <string>

namespace testsupport {

using JournalFields = std::map<std::string, std::string>;

// One datagram of the journal's native protocol: "NAME=value\n" for a value on one line;
// "NAME\n", its length as 64 bits little-endian, the value and "\n" for any other. Raises
// std::runtime_error on a datagram that is not one.
JournalFields DecodeJournalDatagram(const std::string& datagram);

// Bytes from their hex digits, two a byte.
std::string FromHex(const std::string& hex);

} // namespace testsupport
