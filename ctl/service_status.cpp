#include "ctl/service_status.h"

namespace ctl {
namespace {

template <typename T>
T Value(const QVariantMap& properties, const char* name, T otherwise)
{
    const QVariant value = properties.value(QString::fromLatin1(name));
    return value.canConvert<T>() ? value.value<T>() : otherwise;
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
    status.lastUpdateUsec = Value<qulonglong>(properties, "LastUpdateUSec", status.lastUpdateUsec);
    status.offsetUsec = Value<qlonglong>(properties, "OffsetUSec", status.offsetUsec);
    status.errorBoundUsec = Value<qulonglong>(properties, "ErrorBoundUSec", status.errorBoundUsec);
    status.lastResult = Text(properties, "LastResult");
    status.failing = Value(properties, "Failing", status.failing);
    status.nextUpdateUsec = Value<qulonglong>(properties, "NextUpdateUSec", status.nextUpdateUsec);
    status.notice = Text(properties, "Notice");
    return status;
}

} // namespace ctl
