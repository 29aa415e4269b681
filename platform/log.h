#pragma once

// The program's record of what it did, through Qt's logging categories. Messages go to
// stderr, which a desktop session hands to the journal. Information and warnings are on
// by default; debug lines are turned on with QT_LOGGING_RULES="tavrin.*.debug=true".

#include <QLoggingCategory>

namespace platform {

Q_DECLARE_LOGGING_CATEGORY(lcSync)     // tavrin.sync: the PC clock and the time server's replies
Q_DECLARE_LOGGING_CATEGORY(lcNet)      // tavrin.net: connections, refused peers, socket limits
Q_DECLARE_LOGGING_CATEGORY(lcSettings) // tavrin.settings: the settings file
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)  // tavrin.desktop: tray, sound and the session
Q_DECLARE_LOGGING_CATEGORY(lcService)  // tavrin.service: the system service's start, stop and its talk with systemd

// One line per message, led by its category, so that the journal's lines read on their own:
// "tavrin.sync: clock stepped by +3.000 s ...".
void UseLogFormat();

} // namespace platform
