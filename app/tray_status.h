#pragma once

// What the tray tells beyond "Tavrin Client Active": the last result of keeping the clock
// and any standing notice, as lines of the tip, and when a change is worth one
// notification. Notifications come on a change for the worse, never once per attempt.

#include "keeper/keeper_face.h"

#include <map>
#include <string>

namespace app {

class TrayStatus {
public:
    // Conditions that last until they are cleared, each shown on a tip line of its own.
    using Notice = keeper::Notice;

    // Records the last result ("Last update 12:00:05: clock right (offset +0.3 s)").
    // Returns true when it turns a working state into a failing one.
    bool SetResult(std::string line, bool failing);

    // Raises a notice with its text, or clears it with an empty text. Returns true when
    // the notice is raised anew or its text changes.
    bool SetNotice(Notice notice, std::string text);

    bool Failing() const { return failing_; }
    const std::string& Result() const { return result_; }

    // The tip's lines after the first, each led by a line break: the result, then the notices.
    std::string TipLines() const;

private:
    std::string result_;
    bool failing_ = false;
    std::map<Notice, std::string> notices_;
};

} // namespace app
