#include "platform/status_notifier_item.h"

#include "platform/dbus_menu.h"
#include "platform/log.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QImage>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <set>
#include <utility>

#include <unistd.h>

namespace platform {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuPath = QStringLiteral("/MenuBar");
constexpr int kWatcherTimeoutMs = 1000;
// The sizes, in pixels, the icon is sent at: a panel's own (16 to 24 most often), and
// larger for panels that draw at a higher scale or in a tall bar.
constexpr int kPixmapSizes[] = {16, 22, 32, 48, 64};

} // namespace

// The protocol's structures. Named, not anonymous, namespace: Qt's D-Bus types are
// looked up by the names that moc writes.
namespace sni {

// (iiay): one size of an icon, ARGB32 in network byte order.
struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using IconPixmaps = QList<IconPixmap>;

// (sa(iiay)ss): icon name, icon, title and text of the tip.
struct ToolTip {
    QString iconName;
    IconPixmaps icon;
    QString title;
    QString text;
};

} // namespace sni
} // namespace platform

Q_DECLARE_METATYPE(platform::sni::IconPixmap)
Q_DECLARE_METATYPE(platform::sni::ToolTip)

namespace platform {
namespace sni {

QDBusArgument& operator<<(QDBusArgument& argument, const IconPixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, IconPixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const ToolTip& tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.icon << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ToolTip& tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.icon >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

void RegisterTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<IconPixmap>();
        qDBusRegisterMetaType<IconPixmaps>();
        qDBusRegisterMetaType<ToolTip>();
        return true;
    }();
    (void)registered;
}

IconPixmaps ToPixmaps(const QIcon& icon)
{
    IconPixmaps pixmaps;
    for (const int size : kPixmapSizes) {
        // At a ratio of 1 whatever the screen's: the panel asks for pixels, not for points.
        const QImage image = icon.pixmap(QSize(size, size), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        // An icon never grows: a size it lacks comes back as the largest it has, sent once.
        if (image.isNull() || std::any_of(pixmaps.cbegin(), pixmaps.cend(), [&](const IconPixmap& sent) {
                return sent.width == image.width() && sent.height == image.height();
            }))
            continue;
        IconPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(static_cast<qsizetype>(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(line[x]);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

// Where the program's own icons lie beside it (a build, or an install elsewhere than /usr),
// for panels that look up the icon's name there too; empty when there is no such folder.
QString IconThemePath()
{
    const QDir icons(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/icons"));
    return icons.exists() ? icons.absolutePath() : QString();
}

} // namespace sni

// The protocol's face of a StatusNotifierItem. Clicks are handed on from the loop, so
// that the panel's call returns at once whatever the program does with them.
class StatusNotifierItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)
    Q_PROPERTY(QString IconThemePath READ IconThemePath)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(QList<platform::sni::IconPixmap> IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ NoName)
    Q_PROPERTY(QList<platform::sni::IconPixmap> OverlayIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionIconName READ AttentionIconName)
    Q_PROPERTY(QList<platform::sni::IconPixmap> AttentionIconPixmap READ AttentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ NoName)
    Q_PROPERTY(platform::sni::ToolTip ToolTip READ ToolTip)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item), item_(item), iconThemePath_(sni::IconThemePath())
    {
    }

    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const { return QCoreApplication::applicationName(); }
    QString Title() const { return item_->Title(); }
    QString Status() const { return needsAttention_ ? QStringLiteral("NeedsAttention") : QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    bool ItemIsMenu() const { return false; }
    QDBusObjectPath Menu() const { return QDBusObjectPath(kMenuPath); }
    QString IconThemePath() const { return iconThemePath_; }
    QString IconName() const { return iconName_; }
    QList<platform::sni::IconPixmap> IconPixmap() const { return pixmaps_; }
    QString AttentionIconName() const { return needsAttention_ ? iconName_ : QString(); }
    QList<platform::sni::IconPixmap> AttentionIconPixmap() const
    {
        return needsAttention_ ? pixmaps_ : QList<platform::sni::IconPixmap>();
    }
    QString NoName() const { return {}; }
    QList<platform::sni::IconPixmap> NoPixmaps() const { return {}; }
    platform::sni::ToolTip ToolTip() const
    {
        const QString& tip = item_->ToolTip();
        const qsizetype lineEnd = tip.indexOf(u'\n');
        return {{}, {}, tip.left(lineEnd), lineEnd < 0 ? QString() : tip.mid(lineEnd + 1)};
    }

    // Converted once here: panels read the pixmaps again at every change, one after another.
    void SetIcon(const QIcon& icon, const QString& iconName, bool needsAttention)
    {
        pixmaps_ = sni::ToPixmaps(icon);
        iconName_ = iconName;
        const bool statusChanged = std::exchange(needsAttention_, needsAttention) != needsAttention;
        Q_EMIT NewIcon();
        Q_EMIT NewAttentionIcon();
        if (statusChanged)
            Q_EMIT NewStatus(Status());
    }

public Q_SLOTS:
    void Activate(int /*x*/, int /*y*/) { Hand(TrayMouseEvent::Activate); }
    void ContextMenu(int /*x*/, int /*y*/) { Hand(TrayMouseEvent::RightButtonUp); }
    void SecondaryActivate(int /*x*/, int /*y*/) { Hand(TrayMouseEvent::Other); }
    void Scroll(int /*delta*/, const QString& /*orientation*/) {}

Q_SIGNALS:
    void NewIcon();
    void NewAttentionIcon();
    void NewStatus(const QString& status);
    void NewToolTip();

private:
    // Clicks of one kind that come before the first is handed over are that click: a flood
    // of them costs one handling.
    void Hand(TrayMouseEvent event)
    {
        if (!handing_.insert(event).second)
            return;
        QTimer::singleShot(0, item_, [this, event] {
            handing_.erase(event);
            if (item_->onMouse)
                item_->onMouse(event);
        });
    }

    StatusNotifierItem* item_;
    std::set<TrayMouseEvent> handing_;
    QString iconThemePath_;
    sni::IconPixmaps pixmaps_;
    QString iconName_;
    bool needsAttention_ = false;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, const QString& title, QMenu* menu)
    : bus_(std::move(bus)), title_(title)
{
    static int itemsMade = 0;
    sni::RegisterTypes();
    serviceName_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(getpid()).arg(++itemsMade);
    adaptor_ = new StatusNotifierItemAdaptor(this);
    menu_ = std::make_unique<DBusMenu>(bus_, kMenuPath, menu);
    if (!bus_.registerObject(kItemPath, this, QDBusConnection::ExportAdaptors) || !bus_.registerService(serviceName_))
        qCWarning(lcDesktop) << "cannot offer the tray icon on the session bus:" << bus_.lastError().message();
}

StatusNotifierItem::~StatusNotifierItem()
{
    // Giving up the name is what tells the watcher that the item is gone.
    bus_.unregisterService(serviceName_);
    bus_.unregisterObject(kItemPath);
}

void StatusNotifierItem::Register()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherService,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    auto* reply = new QDBusPendingCallWatcher(bus_.asyncCall(call, kWatcherTimeoutMs), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* finished) {
        if (finished->isError())
            qCWarning(lcDesktop) << "the panel refused the tray icon:" << finished->error().message();
        finished->deleteLater();
    });
}

void StatusNotifierItem::SetIcon(const QIcon& icon, const QString& iconName, bool needsAttention)
{
    adaptor_->SetIcon(icon, iconName, needsAttention);
}

void StatusNotifierItem::SetToolTip(const QString& tip)
{
    if (tip == toolTip_)
        return;
    toolTip_ = tip;
    Q_EMIT adaptor_->NewToolTip();
}

StatusNotifierHostWatch::StatusNotifierHostWatch(QDBusConnection bus) : bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    auto* watcher = new QDBusServiceWatcher(kWatcherService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { Update(true); });
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        bus_.connect(kWatcherService, kWatcherPath, kWatcherService, QLatin1String(signal), this, SLOT(HostsChanged()));
    present_ = AskWatcher();
}

bool StatusNotifierHostWatch::AskWatcher() const
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus_.call(get, QDBus::Block, kWatcherTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

void StatusNotifierHostWatch::HostsChanged()
{
    Update(false);
}

void StatusNotifierHostWatch::Update(bool newWatcher)
{
    const bool was = std::exchange(present_, AskWatcher());
    // A new watcher knows none of the items of the last one.
    if ((present_ != was || (newWatcher && present_)) && onChange)
        onChange();
}

} // namespace platform

#include "status_notifier_item.moc"
