#pragma once

// What another process uses, read from /proc.

#include <sys/types.h>

#include <chrono>

namespace testsupport {

// CPU time the process has used so far, user and system together.
std::chrono::milliseconds CpuTimeOf(pid_t pid);

// How many descriptors the process holds; for this process, the one that reads the count
// is counted too, the same every time.
int DescriptorsOf(pid_t pid);

// How many descriptors numbered below `limit` the process holds (a child may inherit some
// numbered higher from its parent).
int DescriptorsBelow(int limit, pid_t pid);

// How many threads the process runs: those that have ended are no longer counted, whether
// or not anyone has joined them yet.
int ThreadsOf(pid_t pid);

} // namespace testsupport
