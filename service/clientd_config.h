#pragma once

// The service's settings: "/etc/tavrin-client/clientd.conf", then every
// "/etc/tavrin-client/clientd.conf.d/*.conf" in the order of their names, read as systemd
// reads its own files:
//
//   [Time]
//   Server=time.example.org
//   MaxStepSec=0
//   PollIntervalSec=300
//   MetricsFile=/var/lib/tavrin-clientd/tavrin-client.prom
//
// Server is an IPv4 address or a host name, empty for none; MaxStepSec the widest step the
// clock may take, in whole seconds, 0 for no limit; PollIntervalSec the time between two
// requests, 16 to 86400 seconds; MetricsFile where the figures for node_exporter go, an
// absolute path, empty for none.
//
// A later file, or a later line, wins; an empty value brings the default back. A line
// starting with '#' or ';' is a comment (a '#' after a value belongs to the value); blanks
// around '=' do not count; keys are case-sensitive. A key outside [Time] or a key not
// listed is ignored with a warning; a bad value, control characters included, is an error
// and leaves what was there before. A missing file is no fault: without any, the defaults
// hold. A file that is not a regular one, or is larger than 1 MiB, cannot be read.
//
// Whatever a file holds, what the log gets of it stays small: at most
// kDiagnosticsPerFile diagnostics a file, then one that counts the rest, and of a line no
// more than a short piece, escaped (platform/escaped_text.h). A link in the drop-in folder
// is followed, as systemd follows its own: administrators link shared files in, and the
// folder is root's or the service's.

#include "keeper/keeper_settings.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace service {

inline constexpr const char* kConfigFile = "/etc/tavrin-client/clientd.conf";
inline constexpr const char* kDropInFolder = "/etc/tavrin-client/clientd.conf.d";
// The drop-in that holds a server chosen while the service runs: late in the order, so that
// it overrides the main file and the usual vendor drop-ins, and early enough to leave room
// for an administrator's "90-*.conf".
inline constexpr const char* kServerDropIn = "50-server.conf";
// How the service ends when its settings cannot be read: EX_CONFIG of sysexits.h, which
// systemd shows as "CONFIG".
inline constexpr int kConfigExitStatus = 78;

struct ClientdSettings {
    std::string server;                     // empty: none
    std::chrono::seconds maxStep{0};        // 0: no limit
    std::chrono::seconds pollInterval{300}; // between kShortestPoll and kLongestPoll
    std::string metricsFile;                // an absolute path; empty: none
    static constexpr std::chrono::seconds kShortestPoll = keeper::KeeperSettings::kShortestInterval;
    static constexpr std::chrono::seconds kLongestPoll = keeper::KeeperSettings::kLongestInterval;

    bool operator==(const ClientdSettings&) const = default;
};

// At most this many diagnostics a file, then "... and N more": a file of junk must fill
// neither memory nor the log.
inline constexpr std::size_t kDiagnosticsPerFile = 5;

// One thing the reading found, for the log.
struct ConfigDiagnostic {
    enum class Severity {
        Warning, // ignored: an unknown key, a key outside [Time]
        Error,   // a bad line or value: what was there before stays
        Fatal,   // a file that exists but cannot be read: the service must not start
    };
    Severity severity = Severity::Warning;
    std::string file;
    int line = 0; // from 1; 0 for the file as a whole
    std::string text;

    // "/etc/tavrin-client/clientd.conf:3: unknown key Servr ignored"; without ":3" for the
    // file as a whole.
    std::string Where() const;
    bool operator==(const ConfigDiagnostic&) const = default;
};

// Where the server in force was set.
struct ServerSetting {
    std::string file; // empty: no Server= line was taken, the default holds
    int line = 0;
    // In a drop-in read after kServerDropIn: a server stored there does not hold.
    bool afterServerDropIn = false;
};

struct ClientdConfig {
    ClientdSettings settings;
    std::vector<ConfigDiagnostic> diagnostics; // in the order found
    ServerSetting serverSetting;

    // A file could not be read: the caller logs the diagnostics and ends with
    // kConfigExitStatus rather than run on part of its settings.
    bool Fatal() const;
};

// Reads `mainFile` and then the "*.conf" files of `dropInFolder` (hidden ones left out), in
// the order of their names. `--config PATH` replaces `mainFile`; tests give a folder of
// their own. Every file is read, even after a fatal one, so that all faults are told at once.
ClientdConfig ReadClientdConfig(const std::string& mainFile = kConfigFile,
                                const std::string& dropInFolder = kDropInFolder);

// Writes each diagnostic to the log, at its severity; false when the settings are fatal:
// the caller must not run on them.
bool LogConfigDiagnostics(const ClientdConfig& config);

// Writes "<dropInFolder>/50-server.conf" holding "[Time]\nServer=<server>\n", whole or not
// at all (platform/replace_file.h), readable by all. Refuses, writing nothing, a server that
// is neither an IPv4 address nor a host name (service/server_name.h). Returns why it
// failed; empty on success.
[[nodiscard]] std::string WriteServerDropIn(const std::string& dropInFolder, const std::string& server);

} // namespace service
