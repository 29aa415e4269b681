#include "platform/dbus_menu.h"

#include <QAction>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QEvent>
#include <QMenu>
#include <QMetaObject>

#include <utility>

namespace platform {
namespace {

constexpr int kRootId = 0;

// What the protocol says a property left out stands for; an invalid variant for a property
// it does not know.
QVariant DefaultProperty(const QString& name)
{
    static const QVariantMap defaults{
        {QStringLiteral("type"), QStringLiteral("standard")},
        {QStringLiteral("label"), QString()},
        {QStringLiteral("enabled"), true},
        {QStringLiteral("visible"), true},
        {QStringLiteral("icon-name"), QString()},
        {QStringLiteral("icon-data"), QByteArray()},
        {QStringLiteral("shortcut"), QVariant::fromValue(QList<QStringList>())},
        {QStringLiteral("toggle-type"), QString()},
        {QStringLiteral("toggle-state"), -1},
        {QStringLiteral("children-display"), QString()},
        {QStringLiteral("disposition"), QStringLiteral("normal")},
    };
    return defaults.value(name);
}

} // namespace

// The protocol's structures. Named, not anonymous, namespace: Qt's D-Bus types are
// looked up by the names that moc writes.
namespace dbusmenu {

// (ia{sv}av): an entry, its properties and its children, each child in a variant.
struct LayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<LayoutItem> children;
};

// (ia{sv}): an entry and its properties.
struct ItemProperties {
    int id = 0;
    QVariantMap properties;
};

// (isvu): one event of a group, as a panel reports it.
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

} // namespace dbusmenu
} // namespace platform

Q_DECLARE_METATYPE(platform::dbusmenu::LayoutItem)
Q_DECLARE_METATYPE(platform::dbusmenu::ItemProperties)
Q_DECLARE_METATYPE(platform::dbusmenu::MenuEvent)

namespace platform {
namespace dbusmenu {

QDBusArgument& operator<<(QDBusArgument& argument, const LayoutItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const LayoutItem& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

// Panels never send a layout; the reading side exists only because Qt's type system
// asks for both.
const QDBusArgument& operator>>(const QDBusArgument& argument, LayoutItem& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.append(qdbus_cast<LayoutItem>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const ItemProperties& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ItemProperties& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const MenuEvent& event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuEvent& event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

void RegisterTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<LayoutItem>();
        qDBusRegisterMetaType<QList<LayoutItem>>();
        qDBusRegisterMetaType<ItemProperties>();
        qDBusRegisterMetaType<QList<ItemProperties>>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<QList<MenuEvent>>();
        qDBusRegisterMetaType<QList<QStringList>>(); // the "shortcut" property
        return true;
    }();
    (void)registered;
}

} // namespace dbusmenu

namespace {

QVariantMap Selected(QVariantMap properties, const QStringList& names)
{
    if (names.isEmpty())
        return properties;
    for (auto it = properties.begin(); it != properties.end();)
        it = names.contains(it.key()) ? std::next(it) : properties.erase(it);
    return properties;
}

} // namespace

// The protocol's face of a DBusMenu; every call reads the menu as it is now, and every call
// is answered, with an error where there is nothing to give.
class DBusMenuAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ Version)
    Q_PROPERTY(QString TextDirection READ TextDirection)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QStringList IconThemePath READ IconThemePath)

public:
    DBusMenuAdaptor(DBusMenu* menu, QDBusConnection bus) : QDBusAbstractAdaptor(menu), menu_(menu), bus_(std::move(bus))
    {
    }

    uint Version() const { return 3; }
    QString TextDirection() const { return QStringLiteral("ltr"); }
    QString Status() const { return QStringLiteral("normal"); }
    QStringList IconThemePath() const { return {}; }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   platform::dbusmenu::LayoutItem& layout)
    {
        layout = {parentId, Selected(menu_->Properties(parentId), propertyNames), {}};
        if (parentId == kRootId && recursionDepth != 0) {
            for (int id = 1; id <= menu_->EntryCount(); ++id)
                layout.children.append({id, Selected(menu_->Properties(id), propertyNames), {}});
        }
        return menu_->Revision();
    }

    // Each entry that exists once, in the order first asked: the answer never outgrows the
    // menu, however many ids a call names.
    QList<platform::dbusmenu::ItemProperties> GetGroupProperties(const QList<int>& ids,
                                                                 const QStringList& propertyNames)
    {
        const qsizetype entries = menu_->EntryCount() + 1; // the menu itself is entry 0
        QList<bool> answered(entries, false);
        QList<dbusmenu::ItemProperties> found;
        for (const int id : ids) {
            if (id < 0 || id >= entries || answered[id])
                continue;
            answered[id] = true;
            found.append({id, Selected(menu_->Properties(id), propertyNames)});
            if (found.size() == entries)
                break;
        }
        return found;
    }

    QDBusVariant GetProperty(int id, const QString& name, const QDBusMessage& call)
    {
        if (const std::optional<QVariant> value = menu_->Property(id, name))
            return QDBusVariant(*value);
        // The error is the answer; the value returned is never sent.
        call.setDelayedReply(true);
        bus_.send(call.createErrorReply(QDBusError::InvalidArgs, menu_->Properties(id).isEmpty()
                                                                     ? QStringLiteral("no menu entry %1").arg(id)
                                                                     : QStringLiteral("no property %1").arg(name)));
        return QDBusVariant(QString());
    }

    void Event(int id, const QString& eventId, const QDBusVariant& /*data*/, uint /*timestamp*/)
    {
        menu_->Event(id, eventId);
    }

    QList<int> EventGroup(const QList<platform::dbusmenu::MenuEvent>& events)
    {
        QList<int> unknown;
        for (const dbusmenu::MenuEvent& event : events) {
            if (!menu_->Event(event.id, event.eventId))
                unknown.append(event.id);
        }
        return unknown;
    }

    bool AboutToShow(int /*id*/) { return false; }

    QList<int> AboutToShowGroup(const QList<int>& /*ids*/, QList<int>& idErrors)
    {
        idErrors.clear();
        return {};
    }

Q_SIGNALS:
    void LayoutUpdated(uint revision, int parent);

private:
    DBusMenu* menu_;
    QDBusConnection bus_;
};

QString DBusMenuLabel(const QString& caption)
{
    QString label;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        const QChar c = caption[i];
        if (c == u'&' && i + 1 < caption.size())
            label += caption[++i] == u'&' ? QStringLiteral("&") : QStringLiteral("_") + caption[i];
        else if (c == u'_')
            label += QStringLiteral("__");
        else
            label += c;
    }
    return label;
}

DBusMenu::DBusMenu(QDBusConnection bus, const QString& path, QMenu* menu)
    : bus_(std::move(bus)), path_(path), menu_(menu)
{
    dbusmenu::RegisterTypes();
    new DBusMenuAdaptor(this, bus_);
    bus_.registerObject(path_, this, QDBusConnection::ExportAdaptors);
    if (menu_)
        menu_->installEventFilter(this);
}

DBusMenu::~DBusMenu()
{
    bus_.unregisterObject(path_);
    if (menu_)
        menu_->removeEventFilter(this);
}

QAction* DBusMenu::Entry(int id) const
{
    return id > 0 && id <= EntryCount() ? menu_->actions().at(id - 1) : nullptr;
}

int DBusMenu::EntryCount() const
{
    return menu_ ? static_cast<int>(menu_->actions().size()) : 0;
}

std::optional<QVariant> DBusMenu::Property(int id, const QString& name) const
{
    const QVariantMap properties = Properties(id);
    if (properties.isEmpty())
        return std::nullopt;
    QVariant value = properties.value(name, DefaultProperty(name));
    if (!value.isValid())
        return std::nullopt;
    return value;
}

QVariantMap DBusMenu::Properties(int id) const
{
    if (id == kRootId)
        return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
    const QAction* action = Entry(id);
    if (!action)
        return {};
    if (action->isSeparator())
        return {{QStringLiteral("type"), QStringLiteral("separator")}};
    QVariantMap properties{{QStringLiteral("label"), DBusMenuLabel(action->text())}};
    if (!action->isEnabled())
        properties.insert(QStringLiteral("enabled"), false);
    if (!action->isVisible())
        properties.insert(QStringLiteral("visible"), false);
    if (action->isCheckable()) {
        properties.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
        properties.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
    }
    return properties;
}

bool DBusMenu::Event(int id, const QString& eventId)
{
    QAction* action = Entry(id);
    if (id != kRootId && !action)
        return false;
    // Triggered from the loop, so that the panel has its answer before the action runs:
    // "Exit" ends the program.
    if (eventId == QLatin1String("clicked") && action && action->isEnabled() && !action->isSeparator()
        && !triggering_.contains(action)) {
        triggering_.insert(action);
        QMetaObject::invokeMethod(
            this,
            [this, action, alive = QPointer<QAction>(action)] {
                triggering_.remove(action);
                if (alive)
                    alive->trigger();
            },
            Qt::QueuedConnection);
    }
    return true;
}

bool DBusMenu::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionChanged:
    case QEvent::ActionRemoved:
        ++revision_;
        Q_EMIT findChild<DBusMenuAdaptor*>()->LayoutUpdated(revision_, kRootId);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace platform

#include "dbus_menu.moc"
