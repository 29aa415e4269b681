#pragma once

// The properties of the bus interface (service/bus_interface.h), read from the service's
// state: each under its name, held in the Qt type that goes on the bus as the interface's
// type (t qulonglong, x qlonglong, i int, b bool, s QString).

#include "keeper/keeper_state.h"

#include <QVariantMap>

#include <chrono>
#include <optional>
#include <string>

namespace service {

// The keeper's side of them; none while no server is configured and nothing is kept.
struct KeeperView {
    const keeper::KeeperState& state;
    keeper::KeeperState::UtcTime nextFetch; // when the next scheduled request goes out
};

// Every property: `server` as configured, the rest from `keeper`, or their "never" and
// "unknown" values without one.
QVariantMap BusPropertiesOf(const std::string& server, const std::optional<KeeperView>& keeper);

// The next request's time is worked out anew from two clocks at each look, so it shifts by
// a little each time: a shift within this is no change.
inline constexpr std::chrono::seconds kNextUpdateJitter{1};

// `now`, with NextUpdateUSec as in `before` where it moved within kNextUpdateJitter.
QVariantMap Steadied(QVariantMap now, const QVariantMap& before);

// The properties of `now` whose values differ from `before`'s; all of them when `before` is
// empty.
QVariantMap ChangedProperties(const QVariantMap& before, const QVariantMap& now);

} // namespace service
