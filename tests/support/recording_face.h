#pragma once

// A face of the keeper that remembers what it was told, for tests of the keeping logic
// without a window.

#include "keeper/keeper_face.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class RecordingFace final : public keeper::KeeperFace {
public:
    struct Badge {
        int source;
        int state;
        bool operator==(const Badge&) const = default;
    };
    struct Result {
        std::string line;
        bool failing;
        bool operator==(const Result&) const = default;
    };

    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void ShowSyncBadge(int source, int state) override { badge = Badge{source, state}; }
    void ShowUnknownBadge() override { badge.reset(); }
    void ShowErrorFace(bool failing) override
    {
        errorFace = failing;
        errorFacesShown.push_back(failing);
    }
    void ReportResult(const std::string& line, bool failing) override
    {
        results.push_back({line, failing});
        if (failing)
            errorFace = true;
    }
    void ReportNotice(keeper::Notice notice, const std::string& text) override
    {
        noticesRaised.emplace_back(notice, text);
        if (text.empty())
            notices.erase(notice);
        else
            notices[notice] = text;
    }
    void TimeCodeTaken() override { ++timeCodesTaken; }

    // The last status line, empty before the first.
    std::string Status() const { return statuses.empty() ? std::string() : statuses.back(); }

    std::vector<std::string> statuses;
    std::optional<Badge> badge; // nothing: the unknown look
    bool errorFace = false;
    std::vector<bool> errorFacesShown; // each ShowErrorFace, in order
    std::vector<Result> results;
    std::map<keeper::Notice, std::string> notices; // those standing
    std::vector<std::pair<keeper::Notice, std::string>> noticesRaised;
    int timeCodesTaken = 0;
};

} // namespace testsupport
