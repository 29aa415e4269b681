#pragma once

// Notifications through the desktop's notification daemon (org.freedesktop.Notifications on
// the session bus), which shows them in the desktop's own way whatever notification area
// the program's icon sits in.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

namespace platform {

class DesktopNotifications final : public QObject {
public:
    // `appName` names the program to the daemon ("Tavrin Client").
    DesktopNotifications(QDBusConnection bus, QString appName);

    // Hands one notification to the daemon without waiting for it. When there is none (no
    // program holds the name and the bus cannot start one), or it does not take the
    // notification, `withoutDaemon` runs instead, from the loop and never after this object
    // is gone. Called on the main thread.
    void Show(const QString& title, const QString& text, std::function<void()> withoutDaemon);

private:
    QDBusConnection bus_;
    QString appName_;
};

} // namespace platform
