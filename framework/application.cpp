#include "framework/application.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <stdexcept>

namespace framework {
namespace {

TApplication* application = nullptr;

// Enough to see what went wrong without boxes piling up behind a burst of errors.
constexpr std::size_t kMaxPendingMessages = 4;

} // namespace

TApplication::TApplication(platform::Alerts& alerts) : alerts_(alerts)
{
    application = this;
}

TApplication::~TApplication()
{
    if (application == this)
        application = nullptr;
}

TApplication* Application()
{
    return application;
}

void TApplication::Terminate()
{
    terminated_ = true;
    // Queued, so that it also takes effect when asked before the loop has started.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void TApplication::MessageBox(const std::string& text, const std::string& caption, platform::AlertIcon icon)
{
    alerts_.Show(caption, text, icon);
}

void TApplication::QueueMessage(const std::string& message)
{
    for (Pending& pending : pending_) {
        if (pending.message == message) {
            ++pending.repeats;
            return;
        }
    }
    if (pending_.size() < kMaxPendingMessages)
        pending_.push_back({message, 1});
}

void TApplication::HandleException(const std::exception& error)
{
    QueueMessage(error.what());
    if (showing_)
        return; // the box on screen shows this one when it closes
    showing_ = true;
    while (!pending_.empty()) {
        const Pending next = pending_.front();
        pending_.erase(pending_.begin());
        std::string text = next.message;
        if (next.repeats > 1)
            text += "\n\n(" + std::to_string(next.repeats) + " times)";
        alerts_.Show(Title, text, platform::AlertIcon::Error);
    }
    showing_ = false;
}

void HandleCurrentException()
{
    try {
        throw;
    } catch (const std::exception& error) {
        if (application)
            application->HandleException(error);
        else
            std::fprintf(stderr, "%s\n", error.what());
    } catch (...) {
        const std::runtime_error unknown("Unknown error");
        if (application)
            application->HandleException(unknown);
        else
            std::fprintf(stderr, "%s\n", unknown.what());
    }
}

} // namespace framework
