#pragma once

// The system service: the clock keeper under the service's settings, its state told to
// systemd ("systemctl status") and left for node_exporter after every change. Without a
// server to ask it waits, and says so once. Main thread only.

#include "keeper/clock_keeper.h"
#include "service/clientd_config.h"
#include "service/log_face.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {
class ServiceManager;
}

namespace service {

class ClockService final : public QObject {
public:
    // `keeperServices` as the keeper takes them; `manager` hears the status.
    ClockService(const keeper::KeeperServices& keeperServices, platform::ServiceManager& manager,
                 const ClientdSettings& settings);
    ~ClockService() override;
    ClockService(const ClockService&) = delete;
    ClockService& operator=(const ClockService&) = delete;

    // Takes new settings: a server named for the first time starts the keeping, another
    // one is asked from the next request on. The reply port stays held throughout.
    void Apply(const ClientdSettings& settings);
    // Reads the settings files again and applies them (systemctl reload). Settings with an
    // error or a file that cannot be read are not applied: the service keeps running on
    // those it has, and the log says why. True when applied.
    bool Reload(const std::string& mainFile, const std::string& dropInFolder);

    // The keeper, once a server is configured; null while the service waits for one.
    keeper::ClockKeeper* Keeper() const { return keeper_.get(); }
    const ClientdSettings& Settings() const { return settings_; }

    // The line systemd shows for the service: the last result, or what it waits for.
    std::string StatusLine() const;
    // How many results the keeping has reported: a request started has had its outcome once
    // this has moved on.
    std::uint64_t ResultsReported() const { return face_.Results(); }

    // Has `listener` hear the changes of the state (the settings, the keeper's state), gathered
    // like the status: once per turn of the loop at most, after systemd was told. One
    // listener, which replaces any before it; an empty one for none.
    void SetStateListener(std::function<void()> listener) { stateListener_ = std::move(listener); }

private:
    static keeper::KeeperSettings KeeperSettingsOf(const ClientdSettings& settings);
    // Gathers the changes of one turn of the loop into one status and one metrics file.
    void StateChanged();
    void Publish();

    keeper::KeeperServices keeperServices_;
    platform::ServiceManager& manager_;
    ClientdSettings settings_;
    LogFace face_;
    std::unique_ptr<keeper::ClockKeeper> keeper_;
    QTimer publishTimer_;
    std::string publishedStatus_;
    std::string metricsFailure_; // said once until the next write succeeds
    std::function<void()> stateListener_;
};

} // namespace service
