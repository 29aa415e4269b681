#include "platform/tray_icon.h"

#include <QCursor>
#include <QGuiApplication>

namespace platform {

SystemTrayIcon::SystemTrayIcon()
{
    QObject::connect(&icon_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
        if (!OnMouse)
            return;
        switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            OnMouse(TrayMouseEvent::DoubleClick);
            break;
        case QSystemTrayIcon::Context:
            OnMouse(TrayMouseEvent::RightButtonUp);
            break;
        default:
            OnMouse(TrayMouseEvent::Other);
            break;
        }
    });
}

bool SystemTrayIcon::Notify(TrayAction action, const QIcon& icon, const std::string& tip)
{
    switch (action) {
    case TrayAction::Add:
        if (added_ || !IsAvailable())
            return false;
        added_ = true; // shown once a modify brings its image: the tray cannot show an empty icon
        return true;
    case TrayAction::Modify:
        if (!added_)
            return false;
        icon_.setIcon(icon);
        icon_.setToolTip(QString::fromStdString(tip));
        if (!icon.isNull())
            icon_.show();
        return true;
    case TrayAction::Delete:
        if (!added_)
            return false;
        icon_.hide();
        added_ = false;
        return true;
    }
    return false;
}

void SystemTrayIcon::ShowMessage(const std::string& title, const std::string& text)
{
    if (added_)
        icon_.showMessage(QString::fromStdString(title), QString::fromStdString(text), QSystemTrayIcon::Warning);
}

bool SystemTrayIcon::IsAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

std::optional<QPoint> SystemTrayIcon::CursorPosition() const
{
    // Wayland keeps the pointer's place on the screen from programs.
    if (QGuiApplication::platformName().startsWith("wayland"))
        return std::nullopt;
    return QCursor::pos();
}

} // namespace platform
