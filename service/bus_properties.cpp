#include "service/bus_properties.h"

#include <QString>

namespace service {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

const QString kNextUpdate = QStringLiteral("NextUpdateUSec");

// Microseconds since 1970 UTC; 0, which the interface reads as "never", for nothing.
qulonglong Microseconds(const std::optional<keeper::KeeperState::UtcTime>& time)
{
    if (!time)
        return 0;
    const long long count = duration_cast<microseconds>(time->time_since_epoch()).count();
    return count > 0 ? static_cast<qulonglong>(count) : 0;
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

QString NoticeLines(const keeper::KeeperState& state)
{
    QString lines;
    for (const auto& [notice, text] : state.notices) {
        if (!lines.isEmpty())
            lines += QLatin1Char('\n');
        lines += Text(text);
    }
    return lines;
}

} // namespace

QVariantMap BusPropertiesOf(const std::string& server, const std::optional<KeeperView>& keeper)
{
    const keeper::KeeperState idle;
    const keeper::KeeperState& state = keeper ? keeper->state : idle;
    return {
        {QStringLiteral("Server"), Text(server)},
        {QStringLiteral("Reachable"), state.reachable},
        {QStringLiteral("Source"), state.source.value_or(-1)},
        {QStringLiteral("State"), state.state.value_or(-1)},
        {QStringLiteral("LastUpdateUSec"), Microseconds(state.lastUpdate)},
        {QStringLiteral("OffsetUSec"), static_cast<qlonglong>(duration_cast<microseconds>(state.offset).count())},
        {QStringLiteral("ErrorBoundUSec"),
         static_cast<qulonglong>(duration_cast<microseconds>(state.errorBound).count())},
        {QStringLiteral("LastResult"), Text(state.lastResult)},
        {QStringLiteral("Failing"), state.failing},
        {kNextUpdate, keeper ? Microseconds(keeper->nextFetch) : qulonglong{0}},
        {QStringLiteral("Notice"), NoticeLines(state)},
    };
}

QVariantMap Steadied(QVariantMap now, const QVariantMap& before)
{
    const auto earlier = before.find(kNextUpdate);
    const auto later = now.find(kNextUpdate);
    if (earlier == before.end() || later == now.end())
        return now;
    const qulonglong from = earlier->toULongLong();
    const qulonglong to = later->toULongLong();
    const auto jitter = static_cast<qulonglong>(microseconds(kNextUpdateJitter).count());
    // "None planned" and a time are never alike.
    if (from != 0 && to != 0 && (from > to ? from - to : to - from) <= jitter)
        *later = *earlier;
    return now;
}

QVariantMap ChangedProperties(const QVariantMap& before, const QVariantMap& now)
{
    QVariantMap changed;
    for (auto property = now.begin(); property != now.end(); ++property) {
        const auto earlier = before.find(property.key());
        if (earlier == before.end() || *earlier != *property)
            changed.insert(property.key(), *property);
    }
    return changed;
}

} // namespace service
