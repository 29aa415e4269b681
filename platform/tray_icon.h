#pragma once

#include <QIcon>
#include <QPoint>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace platform {

enum class TrayAction { Add = 0, Modify = 1, Delete = 2 };

// What the icon shows: its picture, in every size it comes in, and the name the same picture
// has in the desktop's icon theme (empty: none), which StatusNotifier panels prefer and draw
// at the size they need. A face that needs attention tells of trouble: StatusNotifier panels
// may set it apart.
struct TrayFace {
    QIcon icon;
    std::string iconName;
    bool needsAttention = false;
};

// Clicks on the icon. Activate is a StatusNotifier panel's primary click (usually the left
// button), where the program is expected to answer as to a double-click elsewhere.
enum class TrayMouseEvent { DoubleClick, Activate, RightButtonUp, Other };

// The program's icon in the notification area, driven by add, modify and delete requests.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;

    // Carries out one request and tells whether the notification area took it: adding an
    // icon that is there, or changing or removing one that is not, fails, and so does
    // adding one where no notification area runs. The face and the tip are what a modify
    // request shows; the tip's first line is its title, which some panels show alone.
    virtual bool Notify(TrayAction action, const TrayFace& face, const std::string& tip) = 0;

    // Shows a short warning: the desktop's notification when a notification daemon runs,
    // whatever the notification area; otherwise a balloon beside an XEmbed tray's icon.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;

    // Where the mouse pointer is, when the desktop lets a program know.
    virtual std::optional<QPoint> CursorPosition() const = 0;

    // The icon's menu, for panels that draw it themselves; null for none.
    virtual void SetContextMenu(QMenu* menu) = 0;

    // Mouse events on the icon.
    std::function<void(TrayMouseEvent)> onMouse;
    // A notification area has appeared while the icon was not added.
    std::function<void()> onAvailable;
};

class DesktopNotifications;
class StatusNotifierHostWatch;
class StatusNotifierItem;

// The icon on whichever notification area the desktop has: a StatusNotifier panel on the
// session bus when one runs, otherwise an XEmbed tray through Qt. While there is neither,
// it looks for one every two seconds and tells onAvailable when one turns up; a panel that
// starts anew gets the icon again.
class SystemTrayIcon final : public TrayIcon {
public:
    // `title` names the program to StatusNotifier panels and in notifications.
    explicit SystemTrayIcon(std::string title);
    ~SystemTrayIcon() override;
    SystemTrayIcon(const SystemTrayIcon&) = delete;
    SystemTrayIcon& operator=(const SystemTrayIcon&) = delete;

    bool Notify(TrayAction action, const TrayFace& face, const std::string& tip) override;
    void ShowMessage(const std::string& title, const std::string& text) override;
    std::optional<QPoint> CursorPosition() const override;
    void SetContextMenu(QMenu* menu) override;

private:
    enum class Host { None, StatusNotifier, XEmbed };

    Host AvailableHost() const;
    // Puts an added icon on the host there is now, or takes it off every host.
    void Place();
    void HostsChanged();
    void LookForHostWhileNone(Host host);
    void LookForHost();

    std::string title_;
    bool added_ = false;
    TrayFace face_;
    QString tip_;
    QMenu* menu_ = nullptr;
    std::unique_ptr<DesktopNotifications> notifications_;
    std::unique_ptr<StatusNotifierHostWatch> statusNotifierHosts_;
    std::unique_ptr<StatusNotifierItem> statusNotifierItem_;
    std::unique_ptr<QSystemTrayIcon> xembedIcon_;
    QTimer lookForHost_;
};

} // namespace platform
