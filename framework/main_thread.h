#pragma once

#include <functional>

// Handing work to the main thread, which owns the window and every event handler.
// Requires the QCoreApplication to exist.
namespace framework {

bool IsMainThread();

// Queues `task` to run on the main thread after the events already queued, in posting
// order; returns at once. An exception leaving the task reaches the central display.
void PostToMainThread(std::function<void()> task);

// Runs `task` on the main thread and waits until it has run; an exception leaving it is
// raised again in the caller. Called on the main thread, it simply runs the task.
void RunOnMainThread(const std::function<void()>& task);

// On the main thread: waits until `done()` holds, running meanwhile the calls that other
// threads hand over with RunOnMainThread, so that a thread blocked in such a call can
// still finish. `done()` is checked after every call and after every WakeMainThread().
void ServeMainThreadCallsUntil(const std::function<bool()>& done);

// Makes a waiting ServeMainThreadCallsUntil check its condition again. Call it after
// changing what the condition reads, without holding a lock that the condition takes.
void WakeMainThread();

} // namespace framework
