#pragma once

// Whether another program keeps the PC's clock: systemd-timedated's word for it when the
// system bus has it, the kernel's own state otherwise. Two programs stepping one clock
// fight, and the user should know.

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <optional>

namespace platform {

struct SynchroniserFinding {
    enum class Source {
        Nobody,    // neither timedated nor the kernel could tell
        Timedated, // systemd-timedated answered on the system bus
        Kernel,    // the kernel's clock state, read without changing it
    };

    Source source = Source::Nobody;
    bool ntp = false;          // timedated's NTP service (systemd-timesyncd or the like) is on
    bool synchronised = false; // an NTP service has marked the clock synchronised

    bool Active() const { return ntp || synchronised; }
    bool operator==(const SynchroniserFinding&) const = default;
};

// The kernel's own view of its clock.
class KernelClockState {
public:
    virtual ~KernelClockState() = default;
    // Whether an NTP service keeps the clock synchronised; nothing when it cannot be read.
    virtual std::optional<bool> Synchronised() const = 0;
};

// Reads the kernel's state with ntp_gettime, which changes nothing.
class SystemKernelClockState final : public KernelClockState {
public:
    std::optional<bool> Synchronised() const override;
};

// Finds out, without blocking; the answer comes later on the calling thread's loop, or
// at once when there is nothing to wait for.
class SynchroniserProbe {
public:
    virtual ~SynchroniserProbe() = default;
    virtual void Ask(std::function<void(const SynchroniserFinding&)> answer) = 0;
};

// Asks org.freedesktop.timedate1 on `bus` for its NTP and NTPSynchronized properties;
// when the bus is not there or the service does not answer, asks `kernel`.
class SystemSynchroniserProbe final : public SynchroniserProbe {
public:
    SystemSynchroniserProbe(QDBusConnection bus, const KernelClockState& kernel);

    void Ask(std::function<void(const SynchroniserFinding&)> answer) override;

private:
    SynchroniserFinding AskKernel() const;

    QDBusConnection bus_;
    const KernelClockState& kernel_;
    QObject answers_; // the pending calls' receiver: none is answered once the probe is gone
};

} // namespace platform
