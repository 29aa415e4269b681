#pragma once

#include "platform/alerts.h"

#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace framework {

// The program-wide object: its title, its way to end, and the central display of the
// errors that escape event handlers.
class TApplication {
public:
    explicit TApplication(platform::Alerts& alerts);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Caption of the error boxes.
    std::string Title;

    // Ends the main loop; asked before the loop runs, it ends the loop as soon as it starts.
    void Terminate();
    bool Terminated() const { return terminated_; }

    // A modal alert with one button.
    void MessageBox(const std::string& text, const std::string& caption, platform::AlertIcon icon);

    // Shows an error that left an event handler; the program goes on. Boxes never nest:
    // errors that arrive while one is open wait, a few distinct ones at most with their
    // repeats counted, and are shown one after another.
    void HandleException(const std::exception& error);

private:
    struct Pending {
        std::string message;
        int repeats;
    };
    void QueueMessage(const std::string& message);

    platform::Alerts& alerts_;
    bool terminated_ = false;
    bool showing_ = false;
    std::vector<Pending> pending_;
};

// The application of this process, or null before it is made and after it is gone.
TApplication* Application();

// Sends the exception in flight to the application's display (to stderr without one).
void HandleCurrentException();

// Runs an event handler so that an exception leaving it reaches the central display
// instead of the event loop, which cannot carry exceptions.
inline void RunGuarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (...) {
        HandleCurrentException();
    }
}

// `handler` wrapped for connecting to a signal: see RunGuarded.
template <typename Handler>
auto Guarded(Handler handler)
{
    return [handler = std::move(handler)] { RunGuarded(handler); };
}

} // namespace framework
