#pragma once

// Events: log lines that carry, besides their words, what kind of event they tell of and
// its figures, so that the journal can find them ("journalctl MESSAGE_ID=..."). On
// standard error they read as any other line of their category.

#include <QLoggingCategory>

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A figure of an event under a journal field name: upper-case letters, digits and '_',
// not starting with '_' ("TAVRIN_OFFSET_USEC"); platform/log_events.h names them. The
// journal drops a field with another name.
struct LogField {
    std::string_view name;
    std::string value;
};

// An event on its way through the log's message handler.
struct LogEventRecord {
    std::string_view messageId;
    const std::vector<LogField>& fields;
};

// Logs `text` in `category` (platform::lcSync, as qCInfo takes it) at `level` (debug, info,
// warning or critical) as qCInfo and the others do: only when the category has that level on, through the message
// handler in place. Under the journal (platform/journal.h) the line carries MESSAGE_ID=`messageId`, one of
// platform/log_events.h, and `fields`; elsewhere `text` alone shows. Any thread.
void LogEvent(QMessageLogger::CategoryFunction category, QtMsgType level, std::string_view messageId,
              const std::vector<LogField>& fields, const std::string& text);

// For a message handler: the event whose line it is handling on this thread; null for an
// ordinary line.
const LogEventRecord* CurrentLogEvent();

} // namespace platform
