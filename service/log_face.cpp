#include "service/log_face.h"

#include "platform/log.h"

namespace service {

void LogFace::ShowStatus(const std::string& text)
{
    qCDebug(platform::lcService, "status: %s", text.c_str());
}

void LogFace::ShowSyncBadge(int source, int state)
{
    qCDebug(platform::lcService, "server source %d, state %d", source, state);
}

void LogFace::ShowUnknownBadge()
{
    qCDebug(platform::lcService, "server source and state unknown");
}

void LogFace::ReportResult(const std::string& line, bool failing)
{
    ++results_;
    qCDebug(platform::lcService, "result: %s%s", line.c_str(), failing ? " (failing)" : "");
}

void LogFace::ReportNotice(keeper::Notice, const std::string& text)
{
    qCDebug(platform::lcService, "notice: %s", text.empty() ? "cleared" : text.c_str());
}

} // namespace service
