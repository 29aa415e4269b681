#pragma once

#include <QIcon>
#include <QPoint>
#include <QSystemTrayIcon>

#include <functional>
#include <optional>
#include <string>

namespace platform {

enum class TrayAction { Add = 0, Modify = 1, Delete = 2 };

enum class TrayMouseEvent { DoubleClick, RightButtonUp, Other };

// The program's icon in the notification area, driven by add, modify and delete requests.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;

    // Carries out one request and tells whether the notification area took it: adding an
    // icon that is there, or changing or removing one that is not, fails. The icon and
    // the tip are what a modify request shows.
    virtual bool Notify(TrayAction action, const QIcon& icon, const std::string& tip) = 0;

    // Shows a short warning beside the icon: a balloon, or the desktop's notification.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;

    // Whether a notification area runs on this desktop.
    virtual bool IsAvailable() const = 0;

    // Where the mouse pointer is, when the desktop lets a program know.
    virtual std::optional<QPoint> CursorPosition() const = 0;

    // Mouse events on the icon.
    std::function<void(TrayMouseEvent)> OnMouse;
};

class SystemTrayIcon final : public TrayIcon {
public:
    SystemTrayIcon();

    bool Notify(TrayAction action, const QIcon& icon, const std::string& tip) override;
    void ShowMessage(const std::string& title, const std::string& text) override;
    bool IsAvailable() const override;
    std::optional<QPoint> CursorPosition() const override;

private:
    QSystemTrayIcon icon_;
    bool added_ = false;
};

} // namespace platform
