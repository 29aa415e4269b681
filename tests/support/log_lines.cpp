#include "tests/support/log_lines.h"

#include <QString>

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

void Collect(QtMsgType /*type*/, const QMessageLogContext& context, const QString& message)
{
    const std::lock_guard lock(g_mutex);
    g_lines.push_back(std::string(context.category ? context.category : "default") + ": " + message.toStdString());
}

} // namespace

LogLines::LogLines()
{
    {
        const std::lock_guard lock(g_mutex);
        g_lines.clear();
    }
    previous_ = qInstallMessageHandler(Collect);
}

LogLines::~LogLines()
{
    qInstallMessageHandler(previous_);
}

std::vector<std::string> LogLines::All() const
{
    const std::lock_guard lock(g_mutex);
    return g_lines;
}

int LogLines::Count(const std::string& text) const
{
    const std::lock_guard lock(g_mutex);
    return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

} // namespace testsupport
