#include "ctl/service_status.h"

#include <cmath>

namespace ctl {
namespace {

template <typename T>
T Value(const QVariantMap& properties, const char* name, T otherwise)
{
    const QVariant value = properties.value(QString::fromLatin1(name));
    return value.canConvert<T>() ? value.value<T>() : otherwise;
}

// A time of the interface ("t"), read whatever type another version of the service sends
// it as: a signed number below 0, a NaN or a number beyond the range is kUnreadableTime.
std::uint64_t Time(const QVariantMap& properties, const char* name)
{
    const QVariant value = properties.value(QString::fromLatin1(name));
    switch (value.metaType().id()) {
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return value.toULongLong();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
        return value.toLongLong() < 0 ? kUnreadableTime : value.toULongLong();
    case QMetaType::Double:
    case QMetaType::Float: {
        // 2^64: the first number no time can be.
        constexpr double kBeyond = 18446744073709551616.0;
        const double number = value.toDouble();
        return std::isfinite(number) && number >= 0 && number < kBeyond ? static_cast<std::uint64_t>(number)
                                                                        : kUnreadableTime;
    }
    default:
        return value.canConvert<qulonglong>() ? value.value<qulonglong>() : 0;
    }
}

std::string Text(const QVariantMap& properties, const char* name)
{
    return properties.value(QString::fromLatin1(name)).toString().toStdString();
}

} // namespace

ServiceStatus StatusFromProperties(const QVariantMap& properties)
{
    ServiceStatus status;
    status.server = Text(properties, "Server");
    status.reachable = Value(properties, "Reachable", status.reachable);
    status.source = Value(properties, "Source", status.source);
    status.state = Value(properties, "State", status.state);
    status.lastUpdateUsec = Time(properties, "LastUpdateUSec");
    status.offsetUsec = Value<qlonglong>(properties, "OffsetUSec", status.offsetUsec);
    status.errorBoundUsec = Value<qulonglong>(properties, "ErrorBoundUSec", status.errorBoundUsec);
    status.lastResult = Text(properties, "LastResult");
    status.failing = Value(properties, "Failing", status.failing);
    status.nextUpdateUsec = Time(properties, "NextUpdateUSec");
    status.notice = Text(properties, "Notice");
    return status;
}

} // namespace ctl
