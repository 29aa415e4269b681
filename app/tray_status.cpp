#include "app/tray_status.h"

#include <utility>

namespace app {

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

std::string TrayStatus::TipLines() const
{
    std::string lines;
    if (!result_.empty())
        lines += "\n" + result_;
    for (const auto& [notice, text] : notices_)
        lines += "\n" + text;
    return lines;
}

} // namespace app
