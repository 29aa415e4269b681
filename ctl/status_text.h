#pragma once

// What `tavrinctl status` prints: the service's state in lines laid out as timedatectl
// lays out its own, each label right-aligned before its colon and a value of several
// lines continued under the first.

#include "ctl/service_status.h"

#include <cstdint>
#include <string>

namespace ctl {

// Ages and waits are counted from `nowUsec` (microseconds since 1970 UTC); times are
// written in the local time zone.
std::string StatusText(const ServiceStatus& status, std::uint64_t nowUsec);

} // namespace ctl
