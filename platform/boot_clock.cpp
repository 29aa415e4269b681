#include "platform/boot_clock.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>

namespace platform {

BootClock::time_point BootClock::now() noexcept
{
    timespec now{};
    // Cannot fail: the clock exists since Linux 2.6.39 and `now` is writable.
    [[maybe_unused]] const int result = clock_gettime(CLOCK_BOOTTIME, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

BootTimer::BootTimer(std::function<void()> onTimeout)
    : onTimeout_(std::move(onTimeout)), timer_(timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (!timer_)
        throw std::system_error(errno, std::generic_category(), "timerfd_create");
    notifier_ = std::make_unique<QSocketNotifier>(timer_.Get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Fired(); });
}

BootTimer::~BootTimer() = default;

void BootTimer::Start(BootClock::time_point when)
{
    const auto since = when.time_since_epoch();
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(std::chrono::floor<std::chrono::seconds>(since).count());
    setting.it_value.tv_nsec = static_cast<long>((since % std::chrono::seconds(1)).count());
    // Zero would disarm the timer: a moment at the very start of the clock is long past.
    if (setting.it_value.tv_sec <= 0 && setting.it_value.tv_nsec <= 0)
        setting.it_value.tv_nsec = 1;
    if (timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
        throw std::system_error(errno, std::generic_category(), "timerfd_settime");
}

void BootTimer::Stop()
{
    const itimerspec off{};
    // Only an invalid descriptor or setting could fail, and neither is possible here.
    [[maybe_unused]] const int result = timerfd_settime(timer_.Get(), 0, &off, nullptr);
}

void BootTimer::Fired()
{
    std::uint64_t expirations = 0;
    // Nothing to read when the timer was set anew since it became readable: not due yet.
    if (read(timer_.Get(), &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations))
        return;
    onTimeout_();
}

} // namespace platform
