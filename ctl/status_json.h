#pragma once

// What `tavrinctl status --json` prints for scripts: one JSON object whose keys stay as
// they are from release to release (the manual page lists them). Moments in microseconds
// since 1970 UTC, spans in whole seconds; null where there is nothing to tell.

#include "ctl/service_status.h"

#include <cstdint>
#include <string>

namespace ctl {

std::string StatusJson(const ServiceStatus& status, std::uint64_t nowUsec);

// `text` as a JSON string, quotes included; control characters (C0, DEL, C1) as \u escapes.
std::string JsonString(const std::string& text);

} // namespace ctl
