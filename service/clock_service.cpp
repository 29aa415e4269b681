#include "service/clock_service.h"

#include "framework/application.h"
#include "platform/log.h"
#include "platform/service_manager.h"
#include "service/metrics_file.h"

namespace service {
namespace {

MetricsSnapshot SnapshotOf(const keeper::KeeperState& state)
{
    MetricsSnapshot snapshot;
    snapshot.lastUpdate = state.lastUpdate;
    snapshot.offset = state.offset;
    snapshot.offsetErrorBound = state.errorBound;
    snapshot.serverReachable = state.reachable;
    snapshot.serverSource = state.source.value_or(-1);
    snapshot.serverState = state.state.value_or(-1);
    snapshot.steps = state.steps;
    snapshot.slews = state.slews;
    snapshot.clockNotSet = state.clockNotSet;
    snapshot.refusedReplyConnections = state.refusedReplies;
    return snapshot;
}

} // namespace

ClockService::ClockService(const keeper::KeeperServices& keeperServices, platform::ServiceManager& manager,
                           const ClientdSettings& settings)
    : keeperServices_(keeperServices), manager_(manager), face_([this] { StateChanged(); })
{
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(0);
    connect(&publishTimer_, &QTimer::timeout, this, framework::Guarded([this] { Publish(); }));
    Apply(settings);
}

ClockService::~ClockService() = default;

void ClockService::Apply(const ClientdSettings& settings)
{
    settings_ = settings;
    if (settings_.server.empty()) {
        if (keeper_) {
            qCWarning(platform::lcService, "no server configured any more: the clock is no longer kept");
            keeper_.reset();
        } else {
            // Not naming a file: --config may have named another one than the usual.
            qCWarning(platform::lcService, "no server configured: waiting for Server= in the settings (or `tavrinctl "
                                           "set-server ADDRESS`)");
        }
    } else if (keeper_) {
        keeper_->SetSettings(KeeperSettingsOf(settings_));
    } else {
        qCInfo(platform::lcService, "keeping the clock from %s, every %lld s", settings_.server.c_str(),
               static_cast<long long>(settings_.pollInterval.count()));
        keeper_ = std::make_unique<keeper::ClockKeeper>(keeperServices_, face_, KeeperSettingsOf(settings_));
    }
    StateChanged();
}

bool ClockService::Reload(const std::string& mainFile, const std::string& dropInFolder)
{
    const ClientdConfig config = ReadClientdConfig(mainFile, dropInFolder);
    bool faulty = false;
    for (const ConfigDiagnostic& found : config.diagnostics) {
        faulty = faulty || found.severity != ConfigDiagnostic::Severity::Warning;
        qCWarning(platform::lcService, "%s", found.Where().c_str());
    }
    // At start a bad value leaves the default, which for Server= is none: on a running
    // service that would stop the keeping for a typing error.
    if (faulty) {
        qCCritical(platform::lcService, "settings not reloaded: the service keeps those it runs on");
        return false;
    }
    if (config.settings == settings_) {
        qCInfo(platform::lcService, "settings reloaded: nothing changed");
        return true;
    }
    qCInfo(platform::lcService, "settings reloaded");
    Apply(config.settings);
    return true;
}

keeper::KeeperSettings ClockService::KeeperSettingsOf(const ClientdSettings& settings)
{
    return {.server = keeper::ServerName(settings.server),
            .maxStepSeconds = static_cast<std::uint32_t>(settings.maxStep.count()),
            .interval = settings.pollInterval};
}

std::string ClockService::StatusLine() const
{
    if (!keeper_)
        return "Waiting: no server configured";
    const keeper::KeeperState& state = keeper_->State();
    if (!state.lastResult.empty())
        return state.lastResult;
    if (const auto held = state.notices.find(keeper::Notice::ReplyPortInUse); held != state.notices.end())
        return held->second; // until the port is ours, nothing is asked
    return "Asking " + settings_.server;
}

void ClockService::StateChanged()
{
    publishTimer_.start();
}

void ClockService::Publish()
{
    if (const std::string status = StatusLine(); status != publishedStatus_) {
        publishedStatus_ = status;
        manager_.Status(status);
    }
    if (stateListener_)
        stateListener_();
    if (settings_.metricsFile.empty() || !keeper_)
        return;
    const std::string failure = WriteMetricsFile(settings_.metricsFile, SnapshotOf(keeper_->State()));
    if (!failure.empty() && failure != metricsFailure_)
        qCWarning(platform::lcService, "metrics not written to %s: %s", settings_.metricsFile.c_str(), failure.c_str());
    metricsFailure_ = failure;
}

} // namespace service
