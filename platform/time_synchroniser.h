#pragma once

// Whether another program keeps the PC's clock: systemd-timedated's word for it when the
// system bus has it, the kernel's own state otherwise. Two programs stepping one clock
// fight, and the user should know.

#include "platform/bus_answer_check.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// Asks org.freedesktop.timedate1 on the bus at `busAddress` for its NTP and NTPSynchronized
// properties; when the bus is not there, does not answer within `busPatience`, or the
// service does not answer, asks `kernel`. Qt connects to the bus only once it has answered
// (platform/bus_answer_check.h), so a silent bus never holds the calling thread, and the
// bus is checked anew at the next Ask while there is no connection.
class SystemSynchroniserProbe final : public SynchroniserProbe {
public:
    static constexpr std::chrono::milliseconds kBusPatience{3000};

    SystemSynchroniserProbe(std::string busAddress, const KernelClockState& kernel,
                            std::chrono::milliseconds busPatience = kBusPatience);
    ~SystemSynchroniserProbe() override;
    SystemSynchroniserProbe(const SystemSynchroniserProbe&) = delete;
    SystemSynchroniserProbe& operator=(const SystemSynchroniserProbe&) = delete;

    void Ask(std::function<void(const SynchroniserFinding&)> answer) override;

private:
    void BusChecked(BusAnswer found);
    void AskTimedated(std::function<void(const SynchroniserFinding&)> answer);
    SynchroniserFinding AskKernel() const;

    std::string busAddress_;
    const KernelClockState& kernel_;
    std::chrono::milliseconds busPatience_;
    QString connectionName_; // a connection of the probe's own, given up when it goes
    QDBusConnection bus_;
    std::unique_ptr<BusAnswerCheck> check_;
    std::vector<std::function<void(const SynchroniserFinding&)>> waiting_; // for the check
    bool silenceLogged_ = false;
    QObject answers_; // the pending calls' receiver: none is answered once the probe is gone
};

} // namespace platform
