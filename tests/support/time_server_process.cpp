#include "tests/support/time_server_process.h"

#include <gtest/gtest.h>

#include <chrono>

namespace testsupport {

std::unique_ptr<ChildProcess> StartTimeServer(const std::string& program, const std::vector<std::string>& options)
{
    std::vector<std::string> command = {program, "--status-interval", "0"};
    command.insert(command.end(), options.begin(), options.end());
    auto server = std::make_unique<ChildProcess>(command);
    const auto ready = server->ReadLine(std::chrono::seconds(5));
    EXPECT_TRUE(ready && ready->find("listening on") != std::string::npos) << server->Errors();
    return server;
}

} // namespace testsupport
