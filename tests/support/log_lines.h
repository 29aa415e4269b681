#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

namespace testsupport {

// Collects what the program logs while it lives, one "category: message" entry per line;
// the handler it replaces comes back when it goes.
class LogLines {
public:
    LogLines();
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> All() const;
    // How many lines hold `text`.
    int Count(const std::string& text) const;

private:
    QtMessageHandler previous_;
};

} // namespace testsupport
