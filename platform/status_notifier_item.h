#pragma once

// The program's icon as a StatusNotifierItem (org.kde.StatusNotifierItem), the D-Bus tray
// protocol of KDE Plasma, GNOME's AppIndicator extension and most Wayland panels. The item
// is a bus name of its own with the item and its menu (com.canonical.dbusmenu) on it; the
// panel's watcher learns of it through Register. Qt has such an item too, but decides once
// per process, at its first tray icon, whether to use it, so it never reaches a panel that
// starts after the program; this one is made whenever a panel is there.

#include "platform/tray_icon.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QMenu;

namespace platform {

class DBusMenu;
class StatusNotifierItemAdaptor;

class StatusNotifierItem final : public QObject {
public:
    // Puts the item on `bus` with its menu; it shows once registered.
    StatusNotifierItem(QDBusConnection bus, const QString& title, QMenu* menu);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // Tells the watcher of the item; needed again whenever a watcher starts anew.
    void Register();

    // The picture goes to the panel at 16, 22, 32, 48 and 64 pixels, the name beside it for
    // panels that find it in their icon theme. Needing attention makes the item's status
    // NeedsAttention, with the same picture and name as its attention icon.
    void SetIcon(const QIcon& icon, const QString& iconName, bool needsAttention);
    // The first line is the tip's title, the others its text.
    void SetToolTip(const QString& tip);

    const QString& ServiceName() const { return serviceName_; }

    // A panel's clicks: Activate (primary, usually the left button), RightButtonUp (the
    // panel asks the program for its menu) and Other. They arrive from the main loop after
    // the panel has had its answer.
    std::function<void(TrayMouseEvent)> onMouse;

    // What the item shows, for the protocol's properties.
    const QString& Title() const { return title_; }
    const QString& ToolTip() const { return toolTip_; }

private:
    QDBusConnection bus_;
    QString serviceName_;
    QString title_;
    QString toolTip_;
    StatusNotifierItemAdaptor* adaptor_ = nullptr; // a child of the item, as Qt keeps adaptors
    std::unique_ptr<DBusMenu> menu_;
};

// Whether a panel shows StatusNotifierItems on the session bus: a watcher runs and says a
// host is registered with it. Tells of every change.
class StatusNotifierHostWatch final : public QObject {
    Q_OBJECT

public:
    explicit StatusNotifierHostWatch(QDBusConnection bus);

    bool HostPresent() const { return present_; }

    // Called when HostPresent changes, and when a new watcher takes over from the last one
    // (present, but its items must register again).
    std::function<void()> onChange;

private Q_SLOTS:
    void HostsChanged();

private:
    bool AskWatcher() const;
    void Update(bool newWatcher);

    QDBusConnection bus_;
    bool present_ = false;
};

} // namespace platform
