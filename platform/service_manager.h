#pragma once

// What a service tells systemd about itself (sd_notify): that it is ready, a line of
// status for "systemctl status", that it is alive, that it is stopping. Started by systemd
// with Type=notify, the service has NOTIFY_SOCKET to tell it through; anywhere else every
// call does nothing.

#include <QTimer>

#include <chrono>
#include <string>

namespace platform {

class ServiceManager final {
public:
    // When systemd watches the service (WatchdogSec=, which sets WATCHDOG_USEC for this
    // process), starts the beat: WATCHDOG=1 every half of that interval from a timer on the
    // calling thread's loop. A loop that hangs stops the beat, and systemd restarts the
    // service. Main thread.
    ServiceManager();

    // READY=1 with a status line: the service has started and does its work, or has done
    // reloading.
    void Ready(const std::string& status);
    // RELOADING=1, with the time it began on the monotonic clock (MONOTONIC_USEC, which
    // systemd 253 and later match against the reload it asked for): the service reads its
    // settings again, and says Ready when done. Under Type=notify systemd shows the unit as
    // reloading meanwhile.
    void Reloading();
    // A new status line ("server 192.0.2.1 unreachable since 10:02"); a line break in it
    // becomes a space.
    void Status(const std::string& status);
    // STOPPING=1: the service has begun to end.
    void Stopping();

    // The beat's interval; zero when systemd watches for none.
    std::chrono::microseconds WatchdogBeat() const { return beat_; }

private:
    void Notify(const std::string& state);

    std::chrono::microseconds beat_{0};
    QTimer watchdog_;
    bool failureLogged_ = false; // a failing notify is said once, not at every beat
};

} // namespace platform
