// IPv4 addresses between their four bytes and dotted text.

#include "net/inet/stack.h"

#include "framework/convert.h"
#include "framework/exception.h"

#include <cstdint>
#include <utility>

namespace net::inet {

std::string TIdStack::AddressToText(const platform::Ipv4Address& address)
{
    std::string text;
    for (const std::uint8_t byte : address) {
        if (!text.empty())
            text += '.';
        text += std::to_string(byte);
    }
    return text;
}

platform::Ipv4Address TIdStack::TextToAddress(const std::string& text)
{
    std::string rest = text;
    platform::Ipv4Address address{};
    for (std::uint8_t& byte : address)
        byte = static_cast<std::uint8_t>(framework::StrToInt(SplitAtFirst(rest, ".")) & 0xFF);
    return address;
}

bool TIdStack::IsDottedQuad(const std::string& text)
{
    std::string rest = text;
    const std::string parts[] = {SplitAtFirst(rest, "."), SplitAtFirst(rest, "."), SplitAtFirst(rest, "."), rest};
    for (const std::string& part : parts) {
        try {
            const std::int32_t value = framework::StrToInt(part);
            if (value < 0 || value > 255)
                return false;
        } catch (const framework::ConvertError&) {
            return false;
        }
    }
    return true;
}

std::string TIdStack::SplitAtFirst(std::string& text, std::string_view delimiter)
{
    const auto at = text.find(delimiter);
    if (at == std::string::npos)
        return std::exchange(text, {});
    std::string head = text.substr(0, at);
    text.erase(0, at + delimiter.size());
    return head;
}

} // namespace net::inet
