#include "keeper/address_log_limit.h"

#include <algorithm>
#include <utility>

namespace keeper {

AddressLogLimit::AddressLogLimit(Clock::duration interval, std::size_t addresses)
    : interval_(interval), capacity_(addresses)
{
}

std::optional<AddressLogLimit::Line> AddressLogLimit::Allow(const std::string& address, Clock::time_point now)
{
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.address == address; });
    Entry* entry = found == entries_.end() ? nullptr : &*found;
    if (!entry) {
        if (entries_.size() >= capacity_)
            ForgetQuiet(now);
        if (entries_.size() < capacity_)
            entry = &entries_.emplace_back(Entry{address, {}, 0});
        else
            entry = &others_;
    }
    if (entry->lastLine && now - *entry->lastLine < interval_) {
        ++entry->heldBack;
        return std::nullopt;
    }
    entry->lastLine = now;
    return Line{std::exchange(entry->heldBack, 0), entry == &others_};
}

std::string AddressLogLimit::Line::HeldBackText(const std::string& what) const
{
    if (heldBack == 0)
        return "";
    return " (" + std::to_string(heldBack) + " more " + what + " since the last line"
         + (othersToo ? " from other addresses" : "") + ")";
}

void AddressLogLimit::ForgetQuiet(Clock::time_point now)
{
    std::erase_if(entries_,
                  [&](const Entry& entry) { return entry.heldBack == 0 && now - *entry.lastLine >= interval_; });
}

} // namespace keeper
