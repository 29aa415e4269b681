#pragma once

// The system service tavrin-clientd as the tray sees it on the system bus
// (service/com.dovetra.TavrinClient1.xml): whether its name has an owner, its state as its
// properties give it, followed through PropertiesChanged, and its two methods, called
// without waiting. The bus is reached through platform::BusLink, so that an absent or
// silent bus never holds the loop; while there is no bus to use, the service counts as not
// running. A service whose name goes away counts as running until the name has stayed gone
// for the hand-over delay: a restart is no end. Main thread only.

#include "ctl/service_status.h"
#include "platform/bus_link.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace app {

class ServiceView {
public:
    // At start the keeper stands by until the view knows whether the service runs: a bus
    // that has not answered within this is taken for none, and the keeper begins. A bus
    // that answers at all does so within milliseconds.
    static constexpr std::chrono::milliseconds kBusPatience{1000};
    // The name's owner and the properties are read within this.
    static constexpr std::chrono::milliseconds kReadPatience{5000};
    // An update is answered once the server's reply has had its outcome, up to 6 s later.
    static constexpr std::chrono::milliseconds kUpdatePatience{10000};
    // Time for a person to answer the polkit agent's password prompt.
    static constexpr std::chrono::milliseconds kPasswordPatience{90000};
    // How long the name must stay gone before the service counts as stopped. `systemctl
    // restart` leaves it gone for the new process's start, well under a second even on a
    // busy machine; an upgrade's restart adds no more. Five seconds cover that many times
    // over and leave the clock unkept no longer than one request cycle would; a service that
    // failed comes back only after its RestartSec= (10 s), so a tray keeps it meanwhile.
    static constexpr std::chrono::seconds kHandOverDelay{5};

    // What the view tells its window, from the loop, never once the view is gone.
    struct Events {
        // Whether the service runs: first once that is known, then at each change; that it
        // stopped, only once its name has stayed gone for the hand-over delay.
        std::function<void(bool running)> running;
        // While it runs, its state after a change; `which` names the properties that
        // changed, every one at the first read.
        std::function<void(const ctl::ServiceStatus& status, const QStringList& which)> changed;
    };
    // The answer to a call: empty when it was done, otherwise the bus's words for why not.
    // Never given once the service has stopped since the call.
    using Answer = std::function<void(const std::string& failure)>;

    // Looks for the bus at `busAddress` at once; what it finds comes from the loop.
    ServiceView(const std::string& busAddress, Events events, std::chrono::milliseconds handOverDelay = kHandOverDelay);
    ~ServiceView();
    ServiceView(const ServiceView&) = delete;
    ServiceView& operator=(const ServiceView&) = delete;

    // Nothing until it is known.
    std::optional<bool> Running() const { return running_; }
    const ctl::ServiceStatus& Status() const { return status_; }

    // Update(): one request of the service's now. Only while the service runs.
    void Update(Answer answer);
    // SetServer(address, true): the service asks `address` from now on; polkit may ask the
    // user for a password first. Only while the service runs.
    void SetServer(const std::string& address, Answer answer);

    // The properties' changes as the bus brings them; public for the signal's receiver.
    void PropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    void Connected(const QDBusConnection& bus);
    void SetRunning(bool running);
    // The name's owner changed to `owner`; empty: it went away.
    void OwnerChanged(const QString& owner);
    void ReadProperties();
    // Takes `properties` over those known and tells of the change.
    void Take(const QVariantMap& properties);
    void Call(const QDBusMessage& call, std::chrono::milliseconds patience, Answer answer);

    Events events_;
    QDBusConnection bus_;
    std::optional<bool> running_;
    QVariantMap properties_;
    ctl::ServiceStatus status_;
    // The receiver of the watch, the signal and the answers about the name: gone with the
    // connection.
    std::unique_ptr<QObject> watching_;
    // The receiver of the calls' answers: gone when the service stops, and their answers
    // with it.
    std::unique_ptr<QObject> calls_;
    QTimer handOver_; // runs while the name is gone and the service still counts as running
    platform::BusLink link_;
};

} // namespace app
