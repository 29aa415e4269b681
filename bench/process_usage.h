#pragma once

// What this process holds, read from /proc.
namespace bench {

int OpenDescriptors();
long ResidentKiB();

} // namespace bench
