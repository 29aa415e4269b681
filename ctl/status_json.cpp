#include "ctl/status_json.h"

#include "ctl/readings.h"

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace ctl {
namespace {

constexpr char kNull[] = "null";

std::string Boolean(bool value)
{
    return value ? "true" : "false";
}

// The notice's lines as an array of strings, blank ones left out.
std::string NoticeArray(const std::string& notice)
{
    std::string array;
    for (const std::string& line : NonBlankLines(notice))
        array += (array.empty() ? "" : ", ") + JsonString(line);
    return "[" + array + "]";
}

} // namespace

std::string JsonString(const std::string& text)
{
    const auto escaped = [](unsigned code) {
        std::array<char, 8> escape{};
        std::snprintf(escape.data(), escape.size(), "\\u%04x", code);
        return std::string(escape.data());
    };
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += text[i];
        } else if (byte < 0x20 || byte == 0x7F) {
            quoted += escaped(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
            // A C1 control (U+0080 to U+009F), which a terminal showing the JSON would act on.
            quoted += escaped(next);
            ++i;
        } else {
            quoted += text[i];
        }
    }
    return quoted + "\"";
}

std::string StatusJson(const ServiceStatus& status, std::uint64_t nowUsec)
{
    const bool updated = status.Updated();
    const bool planned = status.nextUpdateUsec != 0;
    const std::vector<std::pair<const char*, std::string>> members{
        {"server", JsonString(status.server)},
        {"reachable", Boolean(status.reachable)},
        {"source", std::to_string(status.source)},
        {"source_name", JsonString(SourceName(status.source))},
        {"state", std::to_string(status.state)},
        {"state_name", JsonString(StateName(status.state))},
        {"last_update_usec", updated ? std::to_string(status.lastUpdateUsec) : kNull},
        {"last_update_age_sec", updated ? std::to_string(SecondsBetween(status.lastUpdateUsec, nowUsec)) : kNull},
        {"offset_usec", updated ? std::to_string(status.offsetUsec) : kNull},
        {"error_bound_usec", updated ? std::to_string(status.errorBoundUsec) : kNull},
        {"next_update_usec", planned ? std::to_string(status.nextUpdateUsec) : kNull},
        {"next_update_in_sec", planned ? std::to_string(SecondsBetween(nowUsec, status.nextUpdateUsec)) : kNull},
        {"last_result", JsonString(status.lastResult)},
        {"failing", Boolean(status.failing)},
        {"notice", NoticeArray(status.notice)},
    };
    std::string json = "{\n";
    for (std::size_t i = 0; i < members.size(); ++i)
        json += std::string("  ") + JsonString(members[i].first) + ": " + members[i].second
              + (i + 1 < members.size() ? ",\n" : "\n");
    return json + "}\n";
}

} // namespace ctl
