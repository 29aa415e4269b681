#include "app/service_view.h"

#include "framework/application.h"
#include "platform/log.h"

#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <utility>

namespace app {
namespace {

const QString kService = QString::fromLatin1(ctl::kServiceName);
const QString kPath = QString::fromLatin1(ctl::kServicePath);
const QString kInterface = QString::fromLatin1(ctl::kServiceInterface);
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// Qt hands D-Bus signals only to slots that moc has described.
class PropertiesReceiver final : public QObject {
    Q_OBJECT

public:
    explicit PropertiesReceiver(ServiceView& view) : view_(view) {}

public Q_SLOTS:
    void Changed(const QString& interface, const QVariantMap& changed, const QStringList& invalidated)
    {
        framework::RunGuarded([&] { view_.PropertiesChanged(interface, changed, invalidated); });
    }

private:
    ServiceView& view_;
};

// Calls `done` with the call's reply once it comes, unless `receiver` has gone by then.
void OnReply(const QDBusPendingCall& call, QObject* receiver, std::function<void(const QDBusMessage& reply)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(call, receiver);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, receiver, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        framework::RunGuarded([&] { done(reply); });
    });
}

} // namespace

ServiceView::ServiceView(const std::string& busAddress, Events events, std::chrono::milliseconds handOverDelay)
    : events_(std::move(events)),
      bus_(QString()),
      link_(
          busAddress, "the tray's view of the system service", &platform::lcDesktop,
          [this](const QDBusConnection& bus) { Connected(bus); }, kBusPatience, platform::BusLink::kRetry,
          [this] { SetRunning(false); })
{
    handOver_.setSingleShot(true);
    handOver_.setTimerType(Qt::PreciseTimer); // never before the delay is out
    handOver_.setInterval(handOverDelay);
    QObject::connect(&handOver_, &QTimer::timeout, framework::Guarded([this] { SetRunning(false); }));
}

ServiceView::~ServiceView() = default;

void ServiceView::Connected(const QDBusConnection& bus)
{
    bus_ = bus;
    watching_ = std::make_unique<PropertiesReceiver>(*this);
    // Watched before the owner is asked for, so that no change falls between the two.
    auto* watcher = new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, watching_.get());
    QObject::connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, watching_.get(),
                     [this](const QString&, const QString&, const QString& newOwner) {
                         framework::RunGuarded([&] { OwnerChanged(newOwner); });
                     });
    if (!bus_.connect(kService, kPath, kProperties, QStringLiteral("PropertiesChanged"), watching_.get(),
                      SLOT(Changed(QString, QVariantMap, QStringList))))
        qCWarning(platform::lcDesktop, "the system service's changes cannot be followed: %s",
                  qUtf8Printable(bus_.lastError().message()));
    QDBusMessage ask =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << kService;
    OnReply(bus_.asyncCall(ask, static_cast<int>(kReadPatience.count())), watching_.get(),
            [this](const QDBusMessage& reply) {
                // A bus that does not answer this is no bus to use.
                SetRunning(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                           && reply.arguments().front().toBool());
            });
}

void ServiceView::OwnerChanged(const QString& owner)
{
    if (!owner.isEmpty()) {
        if (handOver_.isActive())
            qCInfo(platform::lcDesktop, "the system service is back");
        SetRunning(true);
        return;
    }
    if (running_ != true || handOver_.isActive())
        return;
    qCInfo(platform::lcDesktop, "the system service's name is gone: it counts as stopped unless back within %.1f s",
           std::chrono::duration<double>(handOver_.intervalAsDuration()).count());
    handOver_.start();
}

void ServiceView::SetRunning(bool running)
{
    handOver_.stop();
    const bool changed = std::exchange(running_, running) != running;
    // Read at each word that it runs: a service started anew under the same name has a
    // state of its own.
    if (running)
        ReadProperties();
    if (!changed)
        return;
    if (running) {
        calls_ = std::make_unique<QObject>();
    } else {
        calls_.reset();
        properties_.clear();
        status_ = {};
    }
    events_.running(running);
}

void ServiceView::ReadProperties()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("GetAll"));
    call << kInterface;
    OnReply(bus_.asyncCall(call, static_cast<int>(kReadPatience.count())), watching_.get(),
            [this](const QDBusMessage& reply) {
                if (running_ != true)
                    return;
                const QDBusPendingReply<QVariantMap> properties(reply);
                if (properties.isError()) {
                    qCWarning(platform::lcDesktop, "the system service's state cannot be read: %s",
                              qUtf8Printable(properties.error().message()));
                    return;
                }
                properties_.clear();
                Take(properties.value());
            });
}

void ServiceView::PropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated)
{
    if (interface != kInterface || running_ != true)
        return;
    Take(changed);
    if (!invalidated.isEmpty())
        ReadProperties(); // their values are not in the signal
}

void ServiceView::Take(const QVariantMap& properties)
{
    if (properties.isEmpty())
        return;
    for (auto property = properties.begin(); property != properties.end(); ++property)
        properties_.insert(property.key(), property.value());
    status_ = ctl::StatusFromProperties(properties_);
    events_.changed(status_, properties.keys());
}

void ServiceView::Update(Answer answer)
{
    Call(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Update")), kUpdatePatience,
         std::move(answer));
}

void ServiceView::SetServer(const std::string& address, Answer answer)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetServer"));
    call << QString::fromStdString(address) << true;
    // The header's flag is what polkit-aware services read; the argument says the same in
    // the interface itself.
    call.setInteractiveAuthorizationAllowed(true);
    Call(call, kPasswordPatience, std::move(answer));
}

void ServiceView::Call(const QDBusMessage& call, std::chrono::milliseconds patience, Answer answer)
{
    if (!calls_)
        return;
    OnReply(bus_.asyncCall(call, static_cast<int>(patience.count())), calls_.get(),
            [answer = std::move(answer)](const QDBusMessage& reply) {
                answer(reply.type() == QDBusMessage::ErrorMessage ? reply.errorMessage().toStdString() : std::string());
            });
}

} // namespace app

#include "service_view.moc"
