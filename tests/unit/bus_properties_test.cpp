// The properties of the service's bus interface: what they say of the keeper's state, and
// when one counts as changed. Their types on the bus: tests/e2e/service_bus_test.cpp.

#include "service/bus_properties.h"

#include <gtest/gtest.h>

#include <random>

using namespace service;
using namespace std::chrono_literals;
using UtcTime = keeper::KeeperState::UtcTime;

namespace {

// 2008-05-21 12:00:05.25 UTC.
const UtcTime kLastUpdate = UtcTime(1211371205s + 250ms);

keeper::KeeperState KeptState()
{
    keeper::KeeperState state;
    state.server = "time.example.org";
    state.reachable = true;
    state.source = 1;
    state.state = 2;
    state.lastUpdate = kLastUpdate;
    state.offset = -1500us - 400ns;
    state.errorBound = 300us;
    state.lastResult = "Last update 12:00:05: clock right (offset -1.5 ms)";
    state.failing = false;
    state.notices[keeper::Notice::ReplyPortInUse] = "Another program holds port 6646";
    state.notices[keeper::Notice::OtherSynchroniser] = "Another time synchroniser is on";
    return state;
}

qulonglong Micro(UtcTime time)
{
    return static_cast<qulonglong>(
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

// Another value of the same type.
QVariant Other(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return !value.toBool();
    case QMetaType::QString:
        return value.toString() + "!";
    case QMetaType::Int:
        return value.toInt() + 1;
    case QMetaType::LongLong:
        return value.toLongLong() + 1;
    case QMetaType::ULongLong:
        return value.toULongLong() + 1;
    default:
        ADD_FAILURE() << value.typeName() << " is no type of the interface";
        return value;
    }
}

} // namespace

TEST(BusProperties, TellTheKeepersStateAndTheirNeverAndUnknownWithoutOne)
{
    const keeper::KeeperState state = KeptState();
    const UtcTime next = kLastUpdate + 300s;
    const QVariantMap kept = BusPropertiesOf("time.example.org", KeeperView{state, next});
    EXPECT_EQ(kept.value("Server").toString(), "time.example.org");
    EXPECT_EQ(kept.value("Reachable").toBool(), true);
    EXPECT_EQ(kept.value("Source").toInt(), 1);
    EXPECT_EQ(kept.value("State").toInt(), 2);
    EXPECT_EQ(kept.value("LastUpdateUSec").toULongLong(), 1211371205250000ULL);
    EXPECT_EQ(kept.value("OffsetUSec").toLongLong(), -1500); // whole microseconds, toward zero
    EXPECT_EQ(kept.value("ErrorBoundUSec").toULongLong(), 300ULL);
    EXPECT_EQ(kept.value("LastResult").toString().toStdString(), state.lastResult);
    EXPECT_EQ(kept.value("Failing").toBool(), false);
    EXPECT_EQ(kept.value("NextUpdateUSec").toULongLong(), Micro(next));
    // One notice a line, in the keeper's order of notices.
    EXPECT_EQ(kept.value("Notice").toString(), "Another time synchroniser is on\nAnother program holds port 6646");

    // Unknown source and state, and a keeper that never updated, in the interface's words.
    keeper::KeeperState fresh;
    const QVariantMap unknown = BusPropertiesOf("192.0.2.1", KeeperView{fresh, next});
    EXPECT_EQ(unknown.value("Source").toInt(), -1);
    EXPECT_EQ(unknown.value("State").toInt(), -1);
    EXPECT_EQ(unknown.value("LastUpdateUSec").toULongLong(), 0ULL);
    EXPECT_EQ(unknown.value("Notice").toString(), "");
    EXPECT_EQ(unknown.value("NextUpdateUSec").toULongLong(), Micro(next));

    // No server, no keeper: nothing known, nothing planned.
    const QVariantMap idle = BusPropertiesOf("", std::nullopt);
    EXPECT_EQ(idle.value("Server").toString(), "");
    EXPECT_EQ(idle.value("Reachable").toBool(), false);
    EXPECT_EQ(idle.value("Source").toInt(), -1);
    EXPECT_EQ(idle.value("LastUpdateUSec").toULongLong(), 0ULL);
    EXPECT_EQ(idle.value("NextUpdateUSec").toULongLong(), 0ULL);
    EXPECT_EQ(idle.value("LastResult").toString(), "");
}

TEST(BusProperties, ChangeWhenTheirValuesDoAndTheNextUpdateOnlyBeyondItsJitter)
{
    std::mt19937 random(20080521);
    const keeper::KeeperState state = KeptState();
    const QVariantMap base = BusPropertiesOf(state.server, KeeperView{state, kLastUpdate + 300s});
    EXPECT_EQ(ChangedProperties({}, base), base); // the first time: all of them
    EXPECT_TRUE(ChangedProperties(base, base).isEmpty());

    const QStringList names = base.keys();
    for (int round = 0; round < 200; ++round) {
        // Some properties changed, and the next update shifted by up to three seconds.
        QVariantMap now = base;
        QStringList expected;
        for (const QString& name : names) {
            if (name == "NextUpdateUSec" || random() % 3 != 0)
                continue;
            now[name] = Other(now.value(name));
            expected << name;
        }
        const auto shift = std::chrono::milliseconds(static_cast<long long>(random() % 6001) - 3000);
        now["NextUpdateUSec"] = Micro(kLastUpdate + 300s + shift);
        const bool jitter = std::chrono::abs(shift) <= kNextUpdateJitter;
        if (!jitter)
            expected << "NextUpdateUSec";
        expected.sort();

        const QVariantMap steadied = Steadied(now, base);
        EXPECT_EQ(ChangedProperties(base, steadied).keys(), expected) << "round " << round;
        EXPECT_EQ(steadied.value("NextUpdateUSec"),
                  jitter ? base.value("NextUpdateUSec") : now.value("NextUpdateUSec"));
    }

    // "None planned" and a time a moment after 1970 are never alike.
    QVariantMap none = base;
    none["NextUpdateUSec"] = qulonglong{0};
    QVariantMap early = base;
    early["NextUpdateUSec"] = qulonglong{1};
    EXPECT_EQ(ChangedProperties(none, Steadied(early, none)).keys(), QStringList{"NextUpdateUSec"});
    EXPECT_EQ(ChangedProperties(early, Steadied(none, early)).keys(), QStringList{"NextUpdateUSec"});
}
