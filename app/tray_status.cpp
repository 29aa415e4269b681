#include "app/tray_status.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace app {
namespace {

constexpr const char* kAllIsWell = "Tavrin Client Active";
constexpr const char* kTrouble = "Tavrin Client: ";

// A failing result reads "<failure> since <time>" or "<failure>: <detail>", and a notice
// "<what>: <what to do>"; the title takes the first part alone, as words within a line.
std::string Headline(const std::string& line)
{
    std::string headline = line.substr(0, std::min(line.find(" since "), line.find(": ")));
    if (!headline.empty())
        headline[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(headline[0])));
    return headline;
}

std::string About(keeper::Notice notice)
{
    switch (notice) {
    case keeper::Notice::OtherSynchroniser:
        return "another program sets the clock";
    case keeper::Notice::ReplyPortInUse:
        return "another copy receives the time";
    }
    return {};
}

} // namespace

bool TrayStatus::SetResult(std::string line, bool failing)
{
    result_ = std::move(line);
    const bool wasFailing = std::exchange(failing_, failing);
    return failing && !wasFailing;
}

bool TrayStatus::SetNotice(Notice notice, std::string text)
{
    if (text.empty()) {
        notices_.erase(notice);
        return false;
    }
    std::string& current = notices_[notice];
    if (current == text)
        return false;
    current = std::move(text);
    return true;
}

bool TrayStatus::SetServiceNotices(std::string lines)
{
    const bool raised = !lines.empty() && lines != serviceNotices_;
    serviceNotices_ = std::move(lines);
    return raised;
}

std::string TrayStatus::Title() const
{
    if (failing_)
        return kTrouble + Headline(result_);
    if (!notices_.empty())
        return kTrouble + About(notices_.begin()->first);
    if (!serviceNotices_.empty())
        return kTrouble + Headline(serviceNotices_.substr(0, serviceNotices_.find('\n')));
    return kAllIsWell;
}

std::string TrayStatus::TipLines() const
{
    std::string lines;
    if (!result_.empty())
        lines += "\n" + result_;
    for (const auto& [notice, text] : notices_)
        lines += "\n" + text;
    if (!serviceNotices_.empty())
        lines += "\n" + serviceNotices_;
    return lines;
}

} // namespace app
