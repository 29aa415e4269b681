#pragma once

// Looks at start and every hour whether another program keeps the PC clock too, and says
// so once per change: as a notice (the tray's tip and one notification) and in the log.

#include "platform/time_synchroniser.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace keeper {

class SynchroniserWatch {
public:
    // Raises the notice with its text, or clears it with an empty one.
    using Notice = std::function<void(const std::string& text)>;

    static constexpr std::chrono::hours kInterval{1};

    // Asks at once unless `askNow` is false, then every `interval`.
    SynchroniserWatch(platform::SynchroniserProbe& probe, Notice notice, std::chrono::milliseconds interval = kInterval,
                      bool askNow = true);

    // Asks again now; the answer comes from the probe.
    void CheckNow();

    // This program has told the kernel that the clock is kept: the kernel's "synchronised"
    // is no sign of another program from now on.
    void OwnKernelMark();
    // timedated's NTP service may be this very program (the system service, listed for
    // `timedatectl set-ntp`): its "on" is no sign of another program. The service's unit
    // conflicts with the usual synchronisers instead.
    void OwnNtpService();

private:
    void Take(const platform::SynchroniserFinding& finding);
    // The finding without what this program does itself.
    platform::SynchroniserFinding OthersOnly(platform::SynchroniserFinding finding) const;

    platform::SynchroniserProbe& probe_;
    Notice notice_;
    QTimer timer_;
    std::optional<platform::SynchroniserFinding> heard_; // the probe's last answer, as it came
    std::optional<platform::SynchroniserFinding> last_;  // of others only; nothing before the first answer
    bool ownKernelMark_ = false;
    bool ownNtpService_ = false;
    // Held while the watch lives: the probe, which outlives it, may answer after it is gone.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

// The notice for `finding`, naming the remedy; empty when no other program keeps the clock.
std::string SynchroniserNotice(const platform::SynchroniserFinding& finding);

} // namespace keeper
