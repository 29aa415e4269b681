#include "platform/tray_icon.h"

#include "platform/desktop_notifications.h"
#include "platform/log.h"
#include "platform/status_notifier_item.h"

#include <QCursor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QSystemTrayIcon>

#include <utility>

namespace platform {
namespace {

constexpr int kLookForHostMs = 2000;

TrayMouseEvent FromQt(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        return TrayMouseEvent::DoubleClick;
    case QSystemTrayIcon::Context:
        return TrayMouseEvent::RightButtonUp;
    default:
        return TrayMouseEvent::Other; // a single click on an XEmbed tray does nothing
    }
}

} // namespace

SystemTrayIcon::SystemTrayIcon(std::string title)
    : title_(std::move(title)),
      notifications_(
          std::make_unique<DesktopNotifications>(QDBusConnection::sessionBus(), QString::fromStdString(title_))),
      statusNotifierHosts_(std::make_unique<StatusNotifierHostWatch>(QDBusConnection::sessionBus()))
{
    statusNotifierHosts_->onChange = [this] { HostsChanged(); };
    lookForHost_.setInterval(kLookForHostMs);
    QObject::connect(&lookForHost_, &QTimer::timeout, [this] { LookForHost(); });
    LookForHostWhileNone(AvailableHost());
}

SystemTrayIcon::~SystemTrayIcon() = default;

SystemTrayIcon::Host SystemTrayIcon::AvailableHost() const
{
    if (statusNotifierHosts_->HostPresent())
        return Host::StatusNotifier;
    // Asked only while no StatusNotifier panel runs: Qt's first look decides for good
    // whether its icons go to such a panel, and ours must stay XEmbed icons.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return Host::XEmbed;
    return Host::None;
}

bool SystemTrayIcon::Notify(TrayAction action, const TrayFace& face, const std::string& tip)
{
    switch (action) {
    case TrayAction::Add:
        if (added_ || AvailableHost() == Host::None)
            return false;
        added_ = true; // shown once a modify brings its image: a tray cannot show an empty icon
        return true;
    case TrayAction::Modify:
        if (!added_)
            return false;
        face_ = face;
        tip_ = QString::fromStdString(tip);
        Place();
        return true;
    case TrayAction::Delete:
        if (!added_)
            return false;
        added_ = false;
        Place();
        return true;
    }
    return false;
}

void SystemTrayIcon::Place()
{
    const Host host = added_ && !face_.icon.isNull() ? AvailableHost() : Host::None;
    if (host != Host::StatusNotifier)
        statusNotifierItem_.reset();
    if (host != Host::XEmbed)
        xembedIcon_.reset();
    switch (host) {
    case Host::StatusNotifier: {
        const bool made = !statusNotifierItem_;
        if (made) {
            statusNotifierItem_ = std::make_unique<StatusNotifierItem>(QDBusConnection::sessionBus(),
                                                                       QString::fromStdString(title_), menu_);
            statusNotifierItem_->onMouse = [this](TrayMouseEvent event) {
                if (onMouse)
                    onMouse(event);
            };
            qCInfo(lcDesktop) << "tray icon on a StatusNotifier panel as" << statusNotifierItem_->ServiceName();
        }
        statusNotifierItem_->SetIcon(face_.icon, QString::fromStdString(face_.iconName), face_.needsAttention);
        statusNotifierItem_->SetToolTip(tip_);
        if (made)
            statusNotifierItem_->Register(); // once it has what the panel will ask for
        break;
    }
    case Host::XEmbed:
        if (!xembedIcon_) {
            xembedIcon_ = std::make_unique<QSystemTrayIcon>();
            QObject::connect(xembedIcon_.get(), &QSystemTrayIcon::activated,
                             [this](QSystemTrayIcon::ActivationReason reason) {
                                 if (onMouse)
                                     onMouse(FromQt(reason));
                             });
            qCInfo(lcDesktop) << "tray icon on an XEmbed tray";
        }
        xembedIcon_->setIcon(face_.icon);
        xembedIcon_->setToolTip(tip_);
        xembedIcon_->show();
        break;
    case Host::None:
        break;
    }
}

void SystemTrayIcon::HostsChanged()
{
    const Host host = AvailableHost();
    LookForHostWhileNone(host);
    if (added_) {
        statusNotifierItem_.reset(); // made anew, so that a new panel learns of it
        Place();
    } else if (host != Host::None && onAvailable) {
        onAvailable();
    }
}

void SystemTrayIcon::LookForHostWhileNone(Host host)
{
    if (host != Host::None) {
        lookForHost_.stop();
    } else if (!lookForHost_.isActive()) {
        qCInfo(lcDesktop) << "no notification area; looking for one";
        lookForHost_.start();
    }
}

void SystemTrayIcon::LookForHost()
{
    if (AvailableHost() != Host::None)
        HostsChanged();
}

void SystemTrayIcon::ShowMessage(const std::string& title, const std::string& text)
{
    const QString shownTitle = QString::fromStdString(title);
    const QString shownText = QString::fromStdString(text);
    // Qt's balloon is drawn by the program, unlike anything else on the desktop: only where
    // no daemon shows notifications, and only beside an icon it can point at.
    notifications_->Show(shownTitle, shownText, [this, shownTitle, shownText] {
        if (xembedIcon_)
            xembedIcon_->showMessage(shownTitle, shownText, QSystemTrayIcon::Warning);
    });
}

std::optional<QPoint> SystemTrayIcon::CursorPosition() const
{
    // Wayland keeps the pointer's place on the screen from programs.
    if (QGuiApplication::platformName().startsWith("wayland"))
        return std::nullopt;
    return QCursor::pos();
}

void SystemTrayIcon::SetContextMenu(QMenu* menu)
{
    menu_ = menu;
    statusNotifierItem_.reset();
    Place();
}

} // namespace platform
