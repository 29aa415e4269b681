#pragma once

#include <functional>
#include <memory>

// The one road to the main thread, which owns the window and every event handler. Work
// for it, from any thread, joins one queue: tasks posted to it, the calls that workers
// block in, and the sockets' notifications. The main thread takes it from there. Requires
// the QCoreApplication to exist.
//
// What runs before what:
//  - Queued work runs on the main thread, one item at a time, in the order it joined the
//    queue, whichever thread queued it: what one thread queues runs in its order, and
//    work queued by one thread after work queued by another (once that Post returned)
//    runs after it. Nothing overtakes queued work, with two exceptions:
//      - RunOnMainThread called on the main thread runs its task at once;
//      - a wait (ServeMainThreadCallsUntil) serves the calls that workers block in, in
//        their order, and leaves posted tasks queued for the loop, so that nothing but
//        those calls runs nested in the wait.
//  - RunOrPostOnMainThread runs its task at once only when that is what queuing would
//    come to: nothing waits in the queue and no queued item is running.
//  - The loop takes queued work in shares of a turn: once a turn of the loop has spent
//    10 ms on it, the rest waits for the next turn, so that timers, signals and input,
//    which are Qt's own events and not on this road, keep their pace however much
//    arrives.
//  - An item that opens a nested loop (a modal box) does not hold up the queue: the
//    nested loop goes on taking work, the calls that workers block in included.
//  - An exception leaving a posted task reaches the central display; one leaving a
//    blocking call travels back to the worker.
//
// What a worker blocked in RunOnMainThread may rely on:
//  - when the call returns, its task has run whole on the main thread, and what the task
//    raised is raised again in the worker;
//  - everything queued before the call has run too, or is the item whose nested loop
//    served the call, unless a wait served it ahead of posted tasks (see above);
//  - the call is served by the main loop, by any nested loop and by the main thread's
//    wait for some thread's end (ServeMainThreadCallsUntil, used by TIdThread::WaitFor):
//    a main thread that waits for a worker which is blocked in a call serves that call,
//    so the two never deadlock. It must not hold a lock that the main thread may take
//    meanwhile.
//
// Lifetime: a thread other than the main one may queue work only while the
// QCoreApplication exists; its owner ends it before. A thread that may outlive what it
// works for, such as a host lookup, posts through a MainThreadMailbox instead.
namespace framework {

bool IsMainThread();

// Queues `task` (see above) and returns at once.
void PostToMainThread(std::function<void()> task);

// Main thread only, for what the loop reports: runs `task` at once when nothing waits in
// the queue, no queued item is running and this turn of the loop has time left;
// otherwise queues it. Either way an exception leaving it reaches the central display.
void RunOrPostOnMainThread(std::function<void()> task);

// Runs `task` on the main thread and waits until it has run (see above). Called on the
// main thread, it simply runs the task.
void RunOnMainThread(const std::function<void()>& task);

// On the main thread: waits until `done()` holds, serving meanwhile the calls that other
// threads block in (RunOnMainThread), so that a thread blocked in such a call can still
// finish. `done()` is checked after every call served and after every WakeMainThread().
void ServeMainThreadCallsUntil(const std::function<bool()>& done);

// Makes a waiting ServeMainThreadCallsUntil check its condition again. Call it after
// changing what the condition reads, without holding a lock that the condition takes.
void WakeMainThread();

// The address of a main-thread object for work from threads that may outlive it. What is
// posted through the mailbox runs only while it is open: the owner closes it when it goes,
// and then work still queued is dropped at its turn, and work posted later is dropped at
// once, without touching the queue. Its owner closes it before the QCoreApplication goes,
// so a thread can post through it at any time, even after the program's end has begun.
// Copies share one mailbox.
class MainThreadMailbox {
public:
    MainThreadMailbox();

    // From any thread: queues `task` as PostToMainThread does, unless the mailbox is closed.
    void Post(std::function<void()> task) const;
    // Main thread only: RunOrPostOnMainThread for an open mailbox.
    void RunOrPost(std::function<void()> task) const;
    // Main thread only. Returns once no other thread is posting through it.
    void Close() const;
    // Main thread only.
    bool IsOpen() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace framework
