#pragma once

// The system service's face of the keeper: nobody looks at it, so it only writes the
// progress the keeper reports to the log's debug lines (the keeper logs its events itself),
// passes each change of state on to the service, and counts the results, so that the
// service can tell when a request it started has had its outcome.

#include "keeper/keeper_face.h"

#include <cstdint>
#include <functional>

namespace service {

class LogFace final : public keeper::KeeperFace {
public:
    explicit LogFace(std::function<void()> onStateChanged) : onStateChanged_(std::move(onStateChanged)) {}

    void ShowStatus(const std::string& text) override;
    void ShowSyncBadge(int source, int state) override;
    void ShowUnknownBadge() override;
    void ShowErrorFace(bool) override {}
    void ReportResult(const std::string& line, bool failing) override;
    void ReportNotice(keeper::Notice notice, const std::string& text) override;
    void TimeCodeTaken() override {}
    void StateChanged() override { onStateChanged_(); }

    // The results reported so far, by every keeper this face served.
    std::uint64_t Results() const { return results_; }

private:
    std::function<void()> onStateChanged_;
    std::uint64_t results_ = 0;
};

} // namespace service
