#include "platform/session_activation.h"

#include "platform/log.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QTimer>
#include <QVariantMap>

#include <utility>

namespace platform {
namespace {

const QString kInterface = QStringLiteral("org.freedesktop.Application");
constexpr uint kDoNotQueue = 4;   // RequestName's DBUS_NAME_FLAG_DO_NOT_QUEUE
constexpr uint kPrimaryOwner = 1; // its DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER

QString ObjectPath(const QString& name)
{
    return u'/' + QString(name).replace(u'.', u'/');
}

QDBusMessage BusCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

} // namespace

// The interface's face on the bus. A call is handed on from the loop, so that the asking
// program has its answer at once, whatever showing the window takes.
class ApplicationAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(ActivationService* service) : QDBusAbstractAdaptor(service), service_(service) {}

public Q_SLOTS:
    void Activate(const QVariantMap& /*platformData*/)
    {
        QTimer::singleShot(0, service_, [this] {
            if (service_->onActivate)
                service_->onActivate();
        });
    }

private:
    ActivationService* service_;
};

ActivationService::ActivationService(QDBusConnection bus, QString name, std::function<void()> activated)
    : onActivate(std::move(activated)), bus_(std::move(bus)), name_(std::move(name))
{
    new ApplicationAdaptor(this);
    if (!bus_.isConnected()) {
        qCInfo(lcDesktop) << "no session bus: a second start cannot show this window";
        return;
    }
    if (!bus_.registerObject(ObjectPath(name_), this, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcDesktop) << "a second start cannot show this window:" << bus_.lastError().message();
        return;
    }
    QDBusMessage request = BusCall(QStringLiteral("RequestName"));
    request << name_ << kDoNotQueue;
    auto* reply = new QDBusPendingCallWatcher(bus_.asyncCall(request), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (finished->isError())
            qCWarning(lcDesktop) << "a second start cannot show this window:" << finished->error().message();
        else if (finished->reply().arguments().value(0).toUInt() != kPrimaryOwner)
            qCWarning(lcDesktop) << "a second start cannot show this window: another program holds" << name_;
    });
}

ActivationService::~ActivationService()
{
    QDBusMessage release = BusCall(QStringLiteral("ReleaseName"));
    release << name_;
    bus_.call(release, QDBus::NoBlock);
    bus_.unregisterObject(ObjectPath(name_));
}

void ActivateRunningCopy(const QDBusConnection& bus, const QString& name, std::chrono::milliseconds patience)
{
    QDBusMessage call = QDBusMessage::createMethodCall(name, ObjectPath(name), kInterface, QStringLiteral("Activate"));
    call.setAutoStartService(false);
    call << QVariantMap();
    // Waited for all the same: the call must reach the bus before this program ends.
    bus.call(call, QDBus::Block, static_cast<int>(patience.count()));
}

} // namespace platform

#include "session_activation.moc"
