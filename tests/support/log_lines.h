#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
    QtMsgType type;
    std::string text;
};

// Collects what the program logs while it lives; the handler it replaces comes back when it
// goes. One at a time.
class LogLines {
public:
    enum class Debug { Off, On };

    // Every category's lines, each as "category: message".
    LogLines();
    // Only the lines of `category`, each as its message alone; with Debug::On its debug lines
    // are switched on meanwhile.
    explicit LogLines(std::string category, Debug debug = Debug::Off);
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<LogLine> Lines() const;
    std::vector<std::string> Texts() const;
    // How many lines hold `text`.
    int Count(const std::string& text) const;

private:
    QtMessageHandler previous_;
    bool debugSwitched_ = false;
};

} // namespace testsupport
