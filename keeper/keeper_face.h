#pragma once

// What a face of the keeper shows: the window and the tray, the system service's log and its
// bus interface. The keeper calls these on the main thread as things happen; a face shows
// them and keeps no keeping logic of its own.

#include <string>

namespace keeper {

// Conditions that last until they are cleared, each said once when it begins.
enum class Notice { OtherSynchroniser, ReplyPortInUse };

class KeeperFace {
public:
    virtual ~KeeperFace() = default;

    // The line of progress or failure of the request cycle and of the last update:
    // "Attempting to connect to server..", "Last Update: 12:00:05 Wed 21 May 2008".
    virtual void ShowStatus(const std::string& text) = 0;

    // The server's time source (0 PC clock, 1 GPS, 3 NTP, others unknown) and sync state
    // (0 not in sync, 1 holdover, 2 in sync, 3 unknown) from a time code or a datagram.
    virtual void ShowSyncBadge(int source, int state) = 0;
    // The server could not be heard, or said something unreadable.
    virtual void ShowUnknownBadge() = 0;

    // Whether keeping the clock fails at the moment: an attempt under way clears it.
    virtual void ShowErrorFace(bool failing) = 0;
    // The last result of keeping the clock ("Last update 12:00:05: offset +12 ms ± 4 ms",
    // "Server unreachable since 11:55:00"); a failing one also shows the error face.
    virtual void ReportResult(const std::string& line, bool failing) = 0;
    // Raises a standing notice with its text, or clears it with an empty one.
    virtual void ReportNotice(Notice notice, const std::string& text) = 0;

    // A time code was applied: the face's display follows the new time at once.
    virtual void TimeCodeTaken() = 0;

    // The keeper's state (ClockKeeper::State) has changed; a face that shows it as a whole
    // reads it there. Often several times in a turn of the loop: a face that publishes it
    // gathers them.
    virtual void StateChanged() {}
};

} // namespace keeper
