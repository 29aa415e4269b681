#include "service/bus_interface.h"

namespace service {

std::string_view BusInterfaceElement()
{
    constexpr std::string_view kEnd = "</interface>";
    const std::string_view xml = BusInterfaceXml();
    const std::size_t start = xml.find("<interface ");
    const std::size_t end = xml.rfind(kEnd);
    if (start == std::string_view::npos || end == std::string_view::npos || end < start)
        return {};
    return xml.substr(start, end + kEnd.size() - start);
}

} // namespace service
