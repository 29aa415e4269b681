#include "platform/log_event.h"

#include <utility>

namespace platform {
namespace {

thread_local const LogEventRecord* currentEvent = nullptr;

// Holds the event up for the handler while its line passes, and no longer.
class CurrentEvent {
public:
    explicit CurrentEvent(const LogEventRecord& event) : previous_(std::exchange(currentEvent, &event)) {}
    ~CurrentEvent() { currentEvent = previous_; }
    CurrentEvent(const CurrentEvent&) = delete;
    CurrentEvent& operator=(const CurrentEvent&) = delete;

private:
    const LogEventRecord* previous_;
};

} // namespace

void LogEvent(QMessageLogger::CategoryFunction category, QtMsgType level, std::string_view messageId,
              const std::vector<LogField>& fields, const std::string& text)
{
    const LogEventRecord event{messageId, fields};
    const CurrentEvent current(event);
    const QMessageLogger logger;
    switch (level) {
    case QtDebugMsg:
        logger.debug(category, "%s", text.c_str());
        break;
    case QtInfoMsg:
        logger.info(category, "%s", text.c_str());
        break;
    case QtWarningMsg:
        logger.warning(category, "%s", text.c_str());
        break;
    case QtCriticalMsg:
    case QtFatalMsg: // an event never ends the program
        logger.critical(category, "%s", text.c_str());
        break;
    }
}

const LogEventRecord* CurrentLogEvent()
{
    return currentEvent;
}

} // namespace platform
