#include "platform/log.h"

namespace platform {

Q_LOGGING_CATEGORY(lcSync, "tavrin.sync", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNet, "tavrin.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "tavrin.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDesktop, "tavrin.desktop", QtInfoMsg)
Q_LOGGING_CATEGORY(lcService, "tavrin.service", QtInfoMsg)

void UseLogFormat()
{
    // QT_MESSAGE_PATTERN, when set, still wins over this.
    qSetMessagePattern("%{category}: %{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}");
}

} // namespace platform
