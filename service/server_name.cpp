#include "service/server_name.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace service {
namespace {

constexpr std::size_t kLongestName = 253;
constexpr std::size_t kLongestLabel = 63;

bool IsIpv4Address(std::string_view text)
{
    in_addr address{};
    // inet_pton reads up to a NUL: "192.0.2.1\0junk" must not pass for the address.
    return text.find('\0') == std::string_view::npos && inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '.';
}

// A character as a reader can see it: control characters and bytes beyond ASCII as \xNN.
std::string Shown(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F)
        return std::string("'") + c + "'";
    if (c == ' ')
        return "a space";
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    return escaped;
}

std::string Quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

std::string HostNameFault(std::string_view name)
{
    if (name.empty())
        return "it is empty";
    if (const auto bad = std::find_if_not(name.begin(), name.end(), IsNameCharacter); bad != name.end())
        return "it holds " + Shown(*bad) + ": only letters, digits, hyphens and dots may stand in a host name";
    if (name.size() > kLongestName)
        return "it is longer than " + std::to_string(kLongestName) + " characters";
    if (std::all_of(name.begin(), name.end(), [](char c) { return IsDigit(c) || c == '.'; }))
        return "it is no IPv4 address: that is four numbers from 0 to 255 separated by dots";
    std::string_view rest = name;
    std::string_view label;
    for (;;) {
        const std::size_t dot = rest.find('.');
        label = rest.substr(0, dot);
        if (label.empty())
            return "it has an empty label: a dot at an end, or two in a row";
        if (label.size() > kLongestLabel)
            return "the label " + Quoted(label) + " is longer than " + std::to_string(kLongestLabel) + " characters";
        if (label.front() == '-' || label.back() == '-')
            return "the label " + Quoted(label) + " starts or ends with a hyphen";
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    if (std::all_of(label.begin(), label.end(), IsDigit))
        return "its last label " + Quoted(label) + " is all digits";
    return {};
}

} // namespace

bool IsServerName(std::string_view name)
{
    return ServerNameFault(name).empty();
}

std::string ServerNameFault(std::string_view name)
{
    if (IsIpv4Address(name))
        return {};
    return HostNameFault(name);
}

} // namespace service
