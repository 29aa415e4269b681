#pragma once

// What the service takes as its time server's name: an IPv4 address or a host name. The
// configuration files and the drop-in written for a new server both hold to it.

#include <string>
#include <string_view>

namespace service {

// An IPv4 address in dotted decimal ("192.0.2.1"), or a host name of RFC 1123: labels of
// 1 to 63 letters, digits and hyphens, none starting or ending with a hyphen, separated by
// single dots, 253 characters at most, and a last label that is not all digits (so that
// "192.0.2.256" is a bad address, not a name). No trailing dot, no spaces.
bool IsServerName(std::string_view name);

// Why `name` is no server name, in words that a caller can act on ("the label \"-x\" starts
// with a hyphen"); empty when it is one.
std::string ServerNameFault(std::string_view name);

} // namespace service
