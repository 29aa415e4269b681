#include "tests/support/log_lines.h"

#include <QLoggingCategory>
#include <QString>

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {

// Threads log too, such as the host lookups.
std::mutex linesMutex;
std::string wantedCategory; // empty: every category
std::vector<LogLine> collectedLines;

void Collect(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::string category = context.category ? context.category : "default";
    const std::lock_guard lock(linesMutex);
    if (wantedCategory.empty())
        collectedLines.push_back({type, category + ": " + message.toStdString()});
    else if (category == wantedCategory)
        collectedLines.push_back({type, message.toStdString()});
}

} // namespace

LogLines::LogLines() : LogLines(std::string()) {}

LogLines::LogLines(std::string category, Debug debug)
{
    if (debug == Debug::On) {
        QLoggingCategory::setFilterRules(QString::fromStdString(category + ".debug=true"));
        debugSwitched_ = true;
    }
    {
        const std::lock_guard lock(linesMutex);
        wantedCategory = std::move(category);
        collectedLines.clear();
    }
    previous_ = qInstallMessageHandler(Collect);
}

LogLines::~LogLines()
{
    qInstallMessageHandler(previous_);
    if (debugSwitched_)
        QLoggingCategory::setFilterRules({});
}

std::vector<LogLine> LogLines::Lines() const
{
    const std::lock_guard lock(linesMutex);
    return collectedLines;
}

std::vector<std::string> LogLines::Texts() const
{
    std::vector<std::string> texts;
    for (const LogLine& line : Lines())
        texts.push_back(line.text);
    return texts;
}

int LogLines::Count(const std::string& text) const
{
    const std::lock_guard lock(linesMutex);
    return static_cast<int>(std::count_if(collectedLines.begin(), collectedLines.end(), [&](const LogLine& line) {
        return line.text.find(text) != std::string::npos;
    }));
}

} // namespace testsupport
