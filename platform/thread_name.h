#pragma once

// Names the calling thread as tools such as top, ps and gdb show it, so that a worker
// thread can be told apart from the main thread. Linux keeps 15 characters of a name.
namespace platform {

void NameThisThread(const char* name);

} // namespace platform
