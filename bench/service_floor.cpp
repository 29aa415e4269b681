// The least a Qt Core service on the system bus costs at rest: the application, a bus
// connection that holds a name, one line through a logging category and Qt's own loop,
// as tavrin-clientd runs it. bench/service_idle.sh runs it beside the service and
// chronyd, so that the service's memory reads against what Qt alone takes on this machine.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QLoggingCategory>

#include <cstdio>

Q_LOGGING_CATEGORY(lcFloor, "tavrin.floor", QtInfoMsg)

int main(int argc, char** argv)
{
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(QStringLiteral("com.dovetra.TavrinFloor"))) {
        std::fprintf(stderr, "no name on the system bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    qCInfo(lcFloor, "on the bus as %s", qPrintable(bus.baseService()));
    return QCoreApplication::exec();
}
