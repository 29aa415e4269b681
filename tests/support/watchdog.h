#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace testsupport {

// Ends the test program if the scope it guards has not finished within `limit`: a
// deadlock then fails the test instead of hanging the suite.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : guard_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fputs("watchdog: the test is stuck\n", stderr);
                  std::_Exit(3);
              }
          })
    {
    }

    ~Watchdog()
    {
        {
            const std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        guard_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread guard_;
};

} // namespace testsupport
