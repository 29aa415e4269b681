#pragma once

// What the tray's tip tells: in its title, "Tavrin Client Active" while all is well and
// otherwise what is wrong; below it, the last result of keeping the clock and any standing
// notice. And when a change is worth one notification: on a change for the worse, never
// once per attempt.

#include "keeper/keeper_face.h"

#include <map>
#include <string>

namespace app {

class TrayStatus {
public:
    // Conditions that last until they are cleared, each shown on a tip line of its own.
    using Notice = keeper::Notice;

    // Records the last result ("Last update 12:00:05: offset +12 ms ± 4 ms").
    // Returns true when it turns a working state into a failing one.
    bool SetResult(std::string line, bool failing);

    // Raises a notice with its text, or clears it with an empty text. Returns true when
    // the notice is raised anew or its text changes.
    bool SetNotice(Notice notice, std::string text);

    // The system service's standing notices while the tray is its face, one a line as its
    // Notice property gives them; empty for none. Returns true when they change to some.
    bool SetServiceNotices(std::string lines);

    bool Failing() const { return failing_; }
    const std::string& Result() const { return result_; }

    // The tip's first line, which some panels show alone: "Tavrin Client Active"; while
    // keeping the clock fails, the program's name and the failure ("Tavrin Client: server
    // unreachable"); else, while a notice stands, what it is about ("Tavrin Client: another
    // program sets the clock"); else the service's first notice, up to its detail
    // ("Tavrin Client: another time synchroniser keeps the clock").
    std::string Title() const;

    // The tip's lines after the first, each led by a line break: the result, then the notices,
    // then the service's.
    std::string TipLines() const;

private:
    std::string result_;
    bool failing_ = false;
    std::map<Notice, std::string> notices_;
    std::string serviceNotices_;
};

} // namespace app
