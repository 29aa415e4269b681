#include "platform/journal.h"

#include "platform/log.h"
#include "platform/log_event.h"

#include <QString>
#include <QtGlobal>

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace {

int Priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void ToJournal(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    std::vector<std::string> fields{"MESSAGE=" + message.toStdString(), "PRIORITY=" + std::to_string(Priority(type))};
    if (context.category)
        fields.push_back(std::string("CODE_CATEGORY=") + context.category);
    if (context.file) {
        fields.push_back(std::string("CODE_FILE=") + context.file);
        fields.push_back("CODE_LINE=" + std::to_string(context.line));
    }
    if (context.function)
        fields.push_back(std::string("CODE_FUNC=") + context.function);
    if (const LogEventRecord* event = CurrentLogEvent()) {
        fields.push_back("MESSAGE_ID=" + std::string(event->messageId));
        for (const LogField& field : event->fields)
            fields.push_back(std::string(field.name) + "=" + field.value);
    }
    std::vector<iovec> parts;
    for (std::string& field : fields)
        parts.push_back({field.data(), field.size()});
    if (sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0)
        return;
    // The journal is gone or refuses; standard error still reaches whoever reads it. Should
    // that fail too, nothing is left to tell it to.
    const std::string line = qFormatLogMessage(type, context, message).toStdString() + "\n";
    [[maybe_unused]] const std::size_t written = std::fwrite(line.data(), 1, line.size(), stderr);
}

// The journal's own socket. sd_journal_sendv drops a line in silence when it is missing,
// so without it the log stays on standard error.
bool JournalListens()
{
    return access("/run/systemd/journal/socket", W_OK) == 0;
}

} // namespace

bool StandardErrorIsJournal()
{
    const char* const stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    const std::string_view text(stream);
    const std::size_t colon = text.find(':');
    std::uintmax_t device = 0, inode = 0;
    const auto whole = [](std::string_view digits, std::uintmax_t& value) {
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return !digits.empty() && error == std::errc() && end == digits.data() + digits.size();
    };
    if (colon == std::string_view::npos || !whole(text.substr(0, colon), device)
        || !whole(text.substr(colon + 1), inode))
        return false;
    struct stat status {};
    return fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

void SendLogToJournal()
{
    qInstallMessageHandler(ToJournal);
}

bool UseJournalWhenConnected()
{
    // The format holds for what the journal does not take, too.
    UseLogFormat();
    if (!StandardErrorIsJournal() || !JournalListens())
        return false;
    SendLogToJournal();
    return true;
}

} // namespace platform
