#pragma once

// Looks at start and every hour whether another program keeps the PC clock too, and says
// so once per change: as a notice (the tray's tip and one notification) and in the log.

#include "platform/time_synchroniser.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace keeper {

class SynchroniserWatch {
public:
    // Raises the notice with its text, or clears it with an empty one.
    using Notice = std::function<void(const std::string& text)>;

    SynchroniserWatch(platform::SynchroniserProbe& probe, Notice notice,
                      std::chrono::milliseconds interval = std::chrono::hours(1));

    // Asks again now; the answer comes from the probe.
    void CheckNow();

private:
    void Take(const platform::SynchroniserFinding& finding);

    platform::SynchroniserProbe& probe_;
    Notice notice_;
    QTimer timer_;
    std::optional<platform::SynchroniserFinding> last_; // nothing before the first answer
};

// The notice for `finding`, naming the remedy; empty when no other program keeps the clock.
std::string SynchroniserNotice(const platform::SynchroniserFinding& finding);

} // namespace keeper
