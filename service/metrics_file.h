#pragma once

// The service's figures for Prometheus, left in a file for node_exporter's textfile
// collector to read (MetricsFile= of the settings: a "*.prom" file in the collector's
// folder, or linked from there).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace service {

// How the clock keeping stands.
struct MetricsSnapshot {
    // When the clock was last found right or set from the server; none before that.
    std::optional<std::chrono::system_clock::time_point> lastUpdate;
    // At that update: the PC's time minus the server's, and how far off that figure may be.
    std::chrono::duration<double> offset{0};
    std::chrono::duration<double> offsetErrorBound{0};
    bool serverReachable = false;
    // The server's source and sync state digits; -1 while not known.
    int serverSource = -1;
    int serverState = -1;
    // Since the service started.
    std::uint64_t steps = 0;
    std::uint64_t slews = 0;
    std::uint64_t clockNotSet = 0;             // updates refused or failed
    std::uint64_t refusedReplyConnections = 0; // closed unread
};

// The snapshot in Prometheus's text format: each figure under its "# HELP" and "# TYPE"
// lines, named tavrin_client_..., the counters ending in _total, a last update of none as 0.
std::string RenderMetrics(const MetricsSnapshot& snapshot);

// Replaces `path` by the rendered snapshot, whole or not at all (platform/replace_file.h),
// readable by all (0644): the collector never reads half a file, and a failed write leaves
// the last one. Returns why it failed; empty on success.
[[nodiscard]] std::string WriteMetricsFile(const std::string& path, const MetricsSnapshot& snapshot);

} // namespace service
