#include "tests/support/process_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace testsupport {
namespace {

// One of the process's folders in /proc, such as "fd".
std::filesystem::directory_iterator Entries(pid_t pid, const char* folder)
{
    return std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/" + folder);
}

} // namespace

std::chrono::milliseconds CpuTimeOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // the name may hold blanks
    std::string field;
    for (int i = 3; i < 14; ++i) // from the state up to the field before utime
        fields >> field;
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

int DescriptorsOf(pid_t pid)
{
    return static_cast<int>(std::distance(Entries(pid, "fd"), {}));
}

int DescriptorsBelow(int limit, pid_t pid)
{
    int count = 0;
    for (const auto& entry : Entries(pid, "fd"))
        count += std::stoi(entry.path().filename().string()) < limit ? 1 : 0;
    return count;
}

int ThreadsOf(pid_t pid)
{
    return static_cast<int>(std::distance(Entries(pid, "task"), {}));
}

} // namespace testsupport
