#include "ctl/status_text.h"

#include "ctl/readings.h"
#include "platform/escaped_text.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace ctl {
namespace {

// A moment and how far it lies from now: "Fri 2024-05-10 12:00:05 CEST (42s ago)".
std::string MomentText(std::uint64_t usec, std::uint64_t nowUsec)
{
    return LocalTimeText(usec) + " (" + RelativeText(SecondsBetween(nowUsec, usec)) + ")";
}

} // namespace

std::string StatusText(const ServiceStatus& status, std::uint64_t nowUsec)
{
    // Each value on a row of its own, escaped; the notices, one a line, on one row each.
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("Server", status.server.empty() ? "none (set one with: tavrinctl set-server ADDRESS)"
                                                      : platform::EscapedText(status.server));
    rows.emplace_back("Reachable", status.reachable ? "yes" : "no");
    rows.emplace_back("Time source", SourceName(status.source));
    rows.emplace_back("Sync state", StateName(status.state));
    if (status.Updated()) {
        rows.emplace_back("Last update", MomentText(status.lastUpdateUsec, nowUsec));
        rows.emplace_back("Offset", OffsetText(status.offsetUsec, status.errorBoundUsec));
    } else {
        rows.emplace_back("Last update", "never");
    }
    rows.emplace_back("Next update",
                      status.nextUpdateUsec == 0 ? "none planned" : MomentText(status.nextUpdateUsec, nowUsec));
    if (!status.lastResult.empty())
        rows.emplace_back("Last result", platform::EscapedText(status.lastResult));
    std::string notices;
    for (const std::string& line : NonBlankLines(status.notice))
        notices += platform::EscapedText(line) + "\n";
    if (!notices.empty())
        rows.emplace_back("Notice", notices);

    std::size_t width = 0;
    for (const auto& [label, value] : rows)
        width = std::max(width, label.size());
    std::string text;
    for (const auto& [label, value] : rows) {
        std::string lead = std::string(width - label.size(), ' ') + label + ": ";
        for (const std::string& line : NonBlankLines(value)) {
            text += lead + line + "\n";
            lead = std::string(width + 2, ' ');
        }
    }
    return text;
}

} // namespace ctl
