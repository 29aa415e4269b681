#pragma once

// `tavrinctl check`: the service's health for a monitoring system, in the manner of the
// monitoring plugins (Nagios, Icinga, Naemon): one line of a status word, a text and,
// after '|', performance data; the exit status says the same. WARNING and CRITICAL come
// when the last successful update is older than the limits; UNKNOWN when its time is later
// than now by more than kFutureToleranceSeconds, or no time at all (negative, NaN).

#include "ctl/bus_failure.h"
#include "ctl/service_status.h"

#include <cstdint>
#include <string>

namespace ctl {

enum class CheckStatus : int { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// The service and tavrinctl read the same clock: an update later than now tells of a clock
// put back since, by more than a slew or a small step would, or of a service that is wrong.
inline constexpr std::int64_t kFutureToleranceSeconds = 60;

struct CheckLimits {
    std::int64_t warnSeconds = 900; // three missed updates at the usual interval
    std::int64_t critSeconds = 3600;
};

struct CheckResult {
    CheckStatus status = CheckStatus::Unknown;
    std::string line; // "TAVRIN OK - last update 42 s ago, offset +0.012 s | age=42s;900;3600 offset=0.012s"
};

CheckResult CheckService(const ServiceStatus& status, const CheckLimits& limits, std::uint64_t nowUsec);

// When the service could not be asked: CRITICAL when it is not there or does not answer,
// UNKNOWN otherwise.
CheckResult CheckFailure(const BusFailure& failure);

// When the command line was wrong: UNKNOWN, saying what was wrong.
CheckResult CheckUsageError(const std::string& error);

} // namespace ctl
