#pragma once

#include <string>

namespace testsupport {

// The whole of a file, bytes as they are; "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);

// Makes or replaces a file holding `text`; fails the test when it cannot.
void WriteFile(const std::string& path, const std::string& text);

} // namespace testsupport
