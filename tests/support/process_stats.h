#pragma once

// What another process uses, read from /proc.

#include <sys/types.h>

#include <chrono>

namespace testsupport {

// CPU time the process has used so far, user and system together.
std::chrono::milliseconds CpuTimeOf(pid_t pid);

// How many descriptors numbered below `limit` the process holds (a child may inherit some
// numbered higher from its parent).
int DescriptorsBelow(int limit, pid_t pid);

} // namespace testsupport
