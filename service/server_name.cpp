#include "service/server_name.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace service {
namespace {

bool IsIpv4Address(std::string_view text)
{
    in_addr address{};
    // inet_pton reads up to a NUL: "192.0.2.1\0junk" must not pass for the address.
    return text.find('\0') == std::string_view::npos && inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

bool IsLabel(std::string_view label)
{
    constexpr std::size_t kLongestLabel = 63;
    const auto allowed = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    };
    return !label.empty() && label.size() <= kLongestLabel && label.front() != '-' && label.back() != '-'
        && std::all_of(label.begin(), label.end(), allowed);
}

bool IsHostName(std::string_view name)
{
    constexpr std::size_t kLongestName = 253;
    if (name.empty() || name.size() > kLongestName)
        return false;
    std::string_view rest = name;
    std::string_view label;
    for (;;) {
        const std::size_t dot = rest.find('.');
        label = rest.substr(0, dot);
        if (!IsLabel(label))
            return false;
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    return !std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool IsServerName(std::string_view name)
{
    return IsIpv4Address(name) || IsHostName(name);
}

} // namespace service
