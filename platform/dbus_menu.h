#pragma once

// A QMenu offered over D-Bus as com.canonical.dbusmenu, the menu protocol of
// StatusNotifier panels: the panel draws the menu itself and reports the chosen entry,
// which triggers its action. The menu is read anew at each request and a change to it is
// announced, so labels and check marks stay current. Entries are numbered by their place
// in the menu from 1 (the menu itself is 0); submenus are not offered.

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

class QAction;
class QMenu;

namespace platform {

class DBusMenu final : public QObject {
public:
    // Offers `menu` at `path` on `bus` until destroyed.
    DBusMenu(QDBusConnection bus, const QString& path, QMenu* menu);
    ~DBusMenu() override;
    DBusMenu(const DBusMenu&) = delete;
    DBusMenu& operator=(const DBusMenu&) = delete;

    // The entry's properties as the protocol names them, defaults left out; empty for an
    // entry that does not exist.
    QVariantMap Properties(int id) const;
    // One property of an entry, the protocol's default for one left out; nothing for an
    // entry or a property that does not exist.
    std::optional<QVariant> Property(int id, const QString& name) const;
    int EntryCount() const;
    // Carries out what a panel reports of an entry; false when there is no such entry. A
    // click triggers its entry from the loop; clicks on an entry that come before that are
    // the same click, so that a flood of them costs one.
    bool Event(int id, const QString& eventId);
    unsigned Revision() const { return revision_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* Entry(int id) const;

    QDBusConnection bus_;
    QString path_;
    QPointer<QMenu> menu_;
    unsigned revision_ = 1;
    QSet<const QAction*> triggering_; // entries whose click waits for the loop
};

// A caption with Qt's access-key marks ("E&xit", "&&") as the protocol writes it ("E_xit", "&").
QString DBusMenuLabel(const QString& caption);

} // namespace platform
