#pragma once

#include <string>

namespace testsupport {

// The whole of a file, bytes as they are; "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);

// How many times `part` occurs in `text`, such as the lines of a log that hold it.
int CountOf(const std::string& text, const std::string& part);

// Makes or replaces a file holding `text`; fails the test when it cannot.
void WriteFile(const std::string& path, const std::string& text);

} // namespace testsupport
