#pragma once

// The reference time server as a process of the test's own.

#include "tests/support/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Starts the server at `program` with `options` after "--status-interval 0" (no status
// datagrams unless the options ask for them) and waits until it listens. A server that
// does not is a failure of the test, with what it said.
std::unique_ptr<ChildProcess> StartTimeServer(const std::string& program, const std::vector<std::string>& options = {});

} // namespace testsupport
