#include "service/metrics_file.h"

#include "platform/replace_file.h"

#include <charconv>
#include <cmath>

namespace service {
namespace {

// The shortest text that reads back as the same double, as Prometheus parses it.
std::string Number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

void Add(std::string& into, const char* name, const char* type, const char* help, const std::string& value)
{
    into += std::string("# HELP tavrin_client_") + name + " " + help + "\n# TYPE tavrin_client_" + name + " " + type
          + "\ntavrin_client_" + name + " " + value + "\n";
}

} // namespace

std::string RenderMetrics(const MetricsSnapshot& snapshot)
{
    const double lastUpdate =
        snapshot.lastUpdate ? std::chrono::duration<double>(snapshot.lastUpdate->time_since_epoch()).count() : 0.0;
    std::string text;
    Add(text, "last_update_timestamp_seconds", "gauge",
        "When the clock was last found right or set from the server, in seconds since 1970; 0 before the first time.",
        Number(lastUpdate));
    Add(text, "offset_seconds", "gauge", "The PC's time minus the server's at the last update.",
        Number(snapshot.offset.count()));
    Add(text, "offset_error_bound_seconds", "gauge", "How far the last offset may be off, either way.",
        Number(snapshot.offsetErrorBound.count()));
    Add(text, "server_reachable", "gauge", "1 while the time server answers, 0 otherwise.",
        snapshot.serverReachable ? "1" : "0");
    Add(text, "server_source", "gauge",
        "The server's time source as its last time code or status said: 0 PC clock, 1 GPS, 3 NTP; -1 unknown.",
        std::to_string(snapshot.serverSource));
    Add(text, "server_state", "gauge",
        "The server's sync state: 0 not in sync, 1 holdover, 2 in sync, 3 unknown; -1 not heard.",
        std::to_string(snapshot.serverState));
    Add(text, "steps_total", "counter", "Steps of the clock to the server's time.", std::to_string(snapshot.steps));
    Add(text, "slews_total", "counter", "Gradual corrections of the clock to the server's time.",
        std::to_string(snapshot.slews));
    Add(text, "clock_not_set_total", "counter", "Updates where the clock needed setting and was not set.",
        std::to_string(snapshot.clockNotSet));
    Add(text, "refused_reply_connections_total", "counter",
        "Reply connections refused unread: from another address than the server's, or not the server's own.",
        std::to_string(snapshot.refusedReplyConnections));
    return text;
}

std::string WriteMetricsFile(const std::string& path, const MetricsSnapshot& snapshot)
{
    return platform::ReplaceFileWhole(path, RenderMetrics(snapshot), 0644);
}

} // namespace service
