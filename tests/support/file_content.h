#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// Everything `path` holds, byte for byte; empty when it cannot be read.
inline std::string FileContent(const std::string& path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

} // namespace testsupport
