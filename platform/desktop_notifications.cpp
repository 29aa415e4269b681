#include "platform/desktop_notifications.h"

#include "platform/log.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

#include <utility>

namespace platform {
namespace {

// A daemon started by the bus for this notification may take a moment; one that answers
// later than this is taken for none.
constexpr int kDaemonPatienceMs = 10'000;

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QString appName)
    : bus_(std::move(bus)), appName_(std::move(appName))
{
}

void DesktopNotifications::Show(const QString& title, const QString& text, std::function<void()> withoutDaemon)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QCoreApplication::applicationName()}};
    // Replaces nothing (id 0), the program's icon by name, no actions, the daemon's own timeout.
    call << appName_ << 0u << QCoreApplication::applicationName() << title << text << QStringList() << hints << -1;
    auto* reply = new QDBusPendingCallWatcher(bus_.asyncCall(call, kDaemonPatienceMs), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this,
            [withoutDaemon = std::move(withoutDaemon)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (!finished->isError())
                    return;
                qCDebug(lcDesktop) << "no notification daemon took the notification:" << finished->error().message();
                if (withoutDaemon)
                    withoutDaemon();
            });
}

} // namespace platform
