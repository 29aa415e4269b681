#include "tools/time-server/time_messages.h"

#include <charconv>
#include <cstdio>

namespace timeserver {
namespace {

constexpr std::string_view kRequestTag = "TavrinClient1010}";

} // namespace

std::optional<std::int32_t> EchoCodeOfRequest(std::string_view request)
{
    if (!request.starts_with('{') || !request.ends_with(kRequestTag))
        return std::nullopt;
    std::string_view code = request.substr(1, request.size() - 1 - kRequestTag.size());
    // The client pads with "0" in front of the sign too ("000-12"), so the zeros go first.
    while (code.size() > 1 && code.front() == '0')
        code.remove_prefix(1);
    std::int32_t value = 0;
    const bool negative = code.starts_with('-');
    const std::string_view digits = negative ? code.substr(1) : code;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), value);
    if (error != std::errc() || end != code.data() + code.size())
        return std::nullopt;
    return value;
}

std::optional<std::string> EchoCodeField(std::int32_t code)
{
    if (code < -999 || code > 9999)
        return std::nullopt;
    char field[8];
    if (code < 0)
        std::snprintf(field, sizeof field, "-%03d", -code);
    else
        std::snprintf(field, sizeof field, "%04d", code);
    return std::string(field);
}

std::string TimeReplyFrame(char source, char state, std::string_view echoCodeField, std::int64_t secondsSince1970)
{
    std::string frame = "{TAVRIN_";
    frame += source;
    frame += ",0,";
    frame += state;
    frame += ',';
    frame += echoCodeField;
    frame += std::to_string(secondsSince1970);
    frame += '}';
    return frame;
}

std::string StatusDatagram(char source, char state)
{
    std::string datagram;
    datagram += source;
    datagram += ",0,";
    datagram += state;
    return datagram;
}

std::string Printable(std::string_view text)
{
    std::string shown;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            shown += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            shown += escaped;
        }
    }
    return shown;
}

} // namespace timeserver
