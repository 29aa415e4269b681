#include "tests/support/log_lines.h"

#include <QLoggingCategory>
#include <QString>

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {

// Threads log too, such as the host lookups.
std::mutex g_mutex;
std::string g_category; // empty: every category
std::vector<LogLine> g_lines;

void Collect(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::string category = context.category ? context.category : "default";
    const std::lock_guard lock(g_mutex);
    if (g_category.empty())
        g_lines.push_back({type, category + ": " + message.toStdString()});
    else if (category == g_category)
        g_lines.push_back({type, message.toStdString()});
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
        const std::lock_guard lock(g_mutex);
        g_category = std::move(category);
        g_lines.clear();
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
    const std::lock_guard lock(g_mutex);
    return g_lines;
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
    const std::lock_guard lock(g_mutex);
    return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(), [&](const LogLine& line) {
        return line.text.find(text) != std::string::npos;
    }));
}

} // namespace testsupport
