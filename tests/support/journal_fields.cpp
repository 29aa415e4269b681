#include "tests/support/journal_fields.h"

#include <cstdint>
#include <stdexcept>

namespace testsupport {

JournalFields DecodeJournalDatagram(const std::string& datagram)
{
    JournalFields fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const std::size_t end = datagram.find_first_of("=\n", at);
        if (end == std::string::npos)
            throw std::runtime_error("a field without its end");
        const std::string name = datagram.substr(at, end - at);
        if (datagram[end] == '=') {
            const std::size_t lineEnd = datagram.find('\n', end);
            if (lineEnd == std::string::npos)
                throw std::runtime_error(name + " without its line end");
            fields[name] = datagram.substr(end + 1, lineEnd - end - 1);
            at = lineEnd + 1;
            continue;
        }
        if (end + 9 > datagram.size())
            throw std::runtime_error(name + " without its length");
        std::uint64_t length = 0;
        for (int byte = 7; byte >= 0; --byte)
            length = length << 8 | static_cast<unsigned char>(datagram[end + 1 + static_cast<std::size_t>(byte)]);
        const std::size_t value = end + 9;
        if (value + length + 1 > datagram.size() || datagram[value + length] != '\n')
            throw std::runtime_error(name + " longer than the datagram");
        fields[name] = datagram.substr(value, length);
        at = value + length + 1;
    }
    return fields;
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

} // namespace testsupport
