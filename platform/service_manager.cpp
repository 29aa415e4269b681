#include "platform/service_manager.h"

#include "platform/log.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

ServiceManager::ServiceManager()
{
    std::uint64_t interval = 0;
    // The variables may stay: WATCHDOG_PID, set beside WATCHDOG_USEC, keeps a child from
    // taking the interval for its own.
    if (sd_watchdog_enabled(0, &interval) <= 0)
        return;
    beat_ = std::chrono::microseconds(interval / 2);
    QObject::connect(&watchdog_, &QTimer::timeout, [this] { Notify("WATCHDOG=1"); });
    watchdog_.start(
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(beat_), std::chrono::milliseconds(1)));
}

void ServiceManager::Ready(const std::string& status)
{
    Notify("READY=1\nSTATUS=" + OneLine(status));
}

void ServiceManager::Reloading()
{
    timespec now{};
    // CLOCK_MONOTONIC cannot fail; a zero time would only be one systemd does not match.
    [[maybe_unused]] const int read = clock_gettime(CLOCK_MONOTONIC, &now);
    const auto microseconds =
        static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U + static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(microseconds));
}

void ServiceManager::Status(const std::string& status)
{
    Notify("STATUS=" + OneLine(status));
}

void ServiceManager::Stopping()
{
    Notify("STOPPING=1");
}

void ServiceManager::Notify(const std::string& state)
{
    const int result = sd_notify(0, state.c_str());
    if (result >= 0 || failureLogged_)
        return;
    failureLogged_ = true;
    qCWarning(lcService, "cannot tell systemd how the service does: %s", std::strerror(-result));
}

} // namespace platform
