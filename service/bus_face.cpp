#include "service/bus_face.h"

#include "framework/application.h"
#include "platform/log.h"
#include "service/bus_interface.h"
#include "service/bus_properties.h"
#include "service/clientd_config.h"
#include "service/clock_service.h"
#include "service/server_name.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace service {
namespace {

const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr std::uint32_t kDoNotQueue = 4; // RequestName's DBUS_NAME_FLAG_DO_NOT_QUEUE

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

// The answer to a call that polkit did not let through.
QDBusMessage Refusal(const QDBusMessage& call, const QString& action, const platform::PolkitVerdict& verdict)
{
    using Outcome = platform::PolkitVerdict::Outcome;
    if (verdict.outcome == Outcome::Refused)
        return call.createErrorReply(QDBusError::AccessDenied,
                                     QStringLiteral("polkit does not allow %1 to this caller").arg(action));
    if (verdict.outcome == Outcome::NeedsInteraction)
        return call.createErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"),
            QStringLiteral("polkit allows %1 only after authentication, which this call does not allow").arg(action));
    return call.createErrorReply(QDBusError::AccessDenied,
                                 Text(verdict.detail) + QStringLiteral(": nothing is allowed without polkit"));
}

} // namespace

BusFace::BusFace(ClockService& service, SettingsFiles files, const std::string& busAddress)
    : service_(service),
      files_(std::move(files)),
      link_(busAddress, std::string("the bus interface ") + kBusName, &platform::lcService,
            [this](const QDBusConnection& bus) { Connected(bus); })
{
    published_ = Current();
    service_.SetStateListener([this] { Publish(); });
    updateDeadline_.setSingleShot(true);
    updateDeadline_.setInterval(kLongestUpdate);
    connect(&updateDeadline_, &QTimer::timeout, this, framework::Guarded([this] { AnswerUpdates(); }));
}

BusFace::~BusFace()
{
    service_.SetStateListener({});
    QDBusConnection(link_.Connection()).unregisterObject(kBusPath);
}

QString BusFace::introspect(const QString& /*path*/) const
{
    const std::string_view element = BusInterfaceElement();
    return QString::fromUtf8(element.data(), static_cast<qsizetype>(element.size())) + QLatin1Char('\n');
}

void BusFace::Connected(const QDBusConnection& bus)
{
    if (!QDBusConnection(bus).registerVirtualObject(kBusPath, this, QDBusConnection::SingleNode)) {
        qCWarning(platform::lcService, "%s cannot be offered on the bus: %s", kBusPath,
                  qPrintable(bus.lastError().message()));
        return;
    }
    RequestName(bus);
}

void BusFace::RequestName(const QDBusConnection& bus)
{
    // Asked without waiting, as everything on the bus: the bus may have fallen silent since
    // it answered.
    QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    call << QString::fromLatin1(kBusName) << kDoNotQueue;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), &nameRequests_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &nameRequests_, [watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<std::uint32_t> reply = *watcher;
        if (reply.isError()) {
            qCWarning(platform::lcService, "%s not owned on the bus (%s): the clock is kept without it", kBusName,
                      qPrintable(reply.error().message()));
            return;
        }
        constexpr std::uint32_t kPrimaryOwner = 1;
        constexpr std::uint32_t kAlreadyOwner = 4;
        if (reply.value() == kPrimaryOwner || reply.value() == kAlreadyOwner)
            qCInfo(platform::lcService, "on the bus as %s", kBusName);
        else
            qCWarning(platform::lcService, "another program owns %s on the bus: the clock is kept without it",
                      kBusName);
    });
}

QVariantMap BusFace::Current() const
{
    std::optional<KeeperView> keeper;
    if (const keeper::ClockKeeper* clockKeeper = service_.Keeper())
        keeper.emplace(KeeperView{clockKeeper->State(), clockKeeper->NextFetch()});
    return Steadied(BusPropertiesOf(service_.Settings().server, keeper), published_);
}

void BusFace::Publish()
{
    const QVariantMap now = Current();
    const QVariantMap changed = ChangedProperties(published_, now);
    published_ = now;
    const QDBusConnection& bus = link_.Connection();
    if (!changed.isEmpty() && bus.isConnected()) {
        QDBusMessage signal =
            QDBusMessage::createSignal(kBusPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"));
        signal << QString::fromLatin1(kBusInterface) << changed << QStringList();
        bus.send(signal);
    }
    // After the signal: whoever reads the properties once answered finds the outcome there.
    if (requestUnderWay_ && service_.ResultsReported() != resultsAtStart_)
        AnswerUpdates();
}

bool BusFace::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const QString interface = message.interface();
    const QString member = message.member();
    const bool ours = interface == QLatin1String(kBusInterface);
    const bool anyInterface = interface.isEmpty();
    if (interface == kPropertiesInterface
        || (anyInterface
            && (member == QLatin1String("Get") || member == QLatin1String("GetAll")
                || member == QLatin1String("Set")))) {
        connection.send(Properties(message));
        return true;
    }
    if (!ours && !(anyInterface && (member == QLatin1String("Update") || member == QLatin1String("SetServer"))))
        return false; // introspection, and the errors for the rest: Qt's own
    if (member == QLatin1String("Update") && message.signature().isEmpty())
        Update(message, connection);
    else if (member == QLatin1String("SetServer") && message.signature() == QLatin1String("sb"))
        SetServer(message, connection);
    else if (member == QLatin1String("Update") || member == QLatin1String("SetServer"))
        connection.send(message.createErrorReply(
            QDBusError::InvalidArgs,
            QStringLiteral("%1 takes (%2), not (%3)")
                .arg(member, member == QLatin1String("Update") ? QString() : QStringLiteral("sb"),
                     message.signature())));
    else
        connection.send(
            message.createErrorReply(QDBusError::UnknownMethod,
                                     QStringLiteral("%1 has no method %2").arg(QLatin1String(kBusInterface), member)));
    return true;
}

QDBusMessage BusFace::Properties(const QDBusMessage& call) const
{
    const QString member = call.member();
    const QList<QVariant> arguments = call.arguments();
    const bool get = member == QLatin1String("Get") && call.signature() == QLatin1String("ss");
    const bool getAll = member == QLatin1String("GetAll") && call.signature() == QLatin1String("s");
    const bool set = member == QLatin1String("Set") && call.signature() == QLatin1String("ssv");
    if (!get && !getAll && !set)
        return call.createErrorReply(QDBusError::InvalidArgs,
                                     QStringLiteral("no %1 taking (%2)").arg(member, call.signature()));
    const QString interface = arguments.at(0).toString();
    // An empty interface names all of them: there is one.
    if (!interface.isEmpty() && interface != QLatin1String(kBusInterface))
        return call.createErrorReply(QDBusError::UnknownInterface,
                                     QStringLiteral("%1 has no interface %2").arg(QLatin1String(kBusPath), interface));
    const QVariantMap properties = Current();
    if (getAll)
        return call.createReply(properties);
    const QString name = arguments.at(1).toString();
    const auto property = properties.find(name);
    if (property == properties.end())
        return call.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("no property %1").arg(name));
    if (set)
        return call.createErrorReply(QDBusError::PropertyReadOnly, QStringLiteral("%1 is read-only").arg(name));
    return call.createReply(QVariant::fromValue(QDBusVariant(*property)));
}

void BusFace::Authorise(const QDBusMessage& call, const QDBusConnection& bus, const char* action, bool interactive,
                        std::function<std::optional<QDBusMessage>(const std::string& caller)> allowed)
{
    const QString actionId = QString::fromLatin1(action);
    callers_.Ask(
        bus, call.service(),
        [this, call, bus, actionId, interactive, allowed = std::move(allowed)](const platform::BusCaller& caller) {
            polkit_.Check(bus, call.service(), actionId, interactive,
                          [call, bus, actionId, allowed, who = caller.Text()](const platform::PolkitVerdict& verdict) {
                              if (verdict.outcome == platform::PolkitVerdict::Outcome::Allowed) {
                                  if (const std::optional<QDBusMessage> answer = allowed(who))
                                      bus.send(*answer);
                                  return;
                              }
                              qCDebug(platform::lcService, "%s refused to %s", qPrintable(actionId), who.c_str());
                              bus.send(Refusal(call, actionId, verdict));
                          });
        });
}

void BusFace::Update(const QDBusMessage& call, const QDBusConnection& bus)
{
    Authorise(call, bus, kUpdateAction, call.isInteractiveAuthorizationAllowed(),
              [this, call, bus](const std::string& caller) { return StartUpdate(call, bus, caller); });
}

std::optional<QDBusMessage> BusFace::StartUpdate(const QDBusMessage& call, const QDBusConnection& bus,
                                                 const std::string& caller)
{
    keeper::ClockKeeper* keeper = service_.Keeper();
    if (!keeper)
        return call.createErrorReply(QDBusError::Failed,
                                     QStringLiteral("no server is configured: choose one with SetServer"));
    if (updateLimit_.Starts(platform::BootClock::now())) {
        qCInfo(platform::lcService, "a request now, asked on the bus by %s", caller.c_str());
        resultsAtStart_ = service_.ResultsReported();
        requestUnderWay_ = true;
        updateDeadline_.start();
        keeper->BitBtn1Click(nullptr);
    }
    if (!requestUnderWay_)
        return call.createReply();
    awaitingOutcome_.emplace_back(call, bus);
    return std::nullopt;
}

void BusFace::AnswerUpdates()
{
    requestUnderWay_ = false;
    updateDeadline_.stop();
    for (const auto& [call, bus] : std::exchange(awaitingOutcome_, {}))
        bus.send(call.createReply());
}

void BusFace::SetServer(const QDBusMessage& call, const QDBusConnection& bus)
{
    const QList<QVariant> arguments = call.arguments();
    const std::string address = arguments.at(0).toString().toStdString();
    // Refused before polkit is asked: nobody should type a password for a typing error.
    if (const std::string fault = ServerNameFault(address); !fault.empty()) {
        bus.send(call.createErrorReply(
            QDBusError::InvalidArgs, Text("\"" + address + "\" is neither an IPv4 address nor a host name: " + fault)));
        return;
    }
    // Likewise for a server that would not hold.
    if (const std::optional<QDBusMessage> refusal = OverrideRefusal(call)) {
        bus.send(*refusal);
        return;
    }
    Authorise(call, bus, kSetServerAction, arguments.at(1).toBool(), [this, call, address](const std::string& caller) {
        return std::optional(StoreServer(call, address, caller));
    });
}

std::optional<QDBusMessage> BusFace::OverrideRefusal(const QDBusMessage& call) const
{
    const ClientdConfig config = ReadClientdConfig(files_.mainFile, files_.dropInFolder);
    const ServerSetting& setting = config.serverSetting;
    if (!setting.afterServerDropIn)
        return std::nullopt;
    const ConfigDiagnostic where{ConfigDiagnostic::Severity::Error, setting.file, setting.line,
                                 "sets Server=" + config.settings.server
                                     + ", which wins over a server set on the bus (it is read after " + kServerDropIn
                                     + "): change or remove it there"};
    return call.createErrorReply(QString::fromLatin1(kServerOverriddenError), Text(where.Where()));
}

QDBusMessage BusFace::StoreServer(const QDBusMessage& call, const std::string& address, const std::string& caller)
{
    // Asked again: the administrator may have written the file while polkit asked for a password.
    if (std::optional<QDBusMessage> refusal = OverrideRefusal(call)) {
        qCWarning(platform::lcService, "server %s, asked on the bus by %s, not stored: %s", address.c_str(),
                  caller.c_str(), qPrintable(refusal->errorMessage()));
        return *std::move(refusal);
    }
    if (const std::string failure = WriteServerDropIn(files_.dropInFolder, address); !failure.empty()) {
        qCWarning(platform::lcService, "server %s, asked on the bus by %s, not stored: %s", address.c_str(),
                  caller.c_str(), failure.c_str());
        return call.createErrorReply(QDBusError::Failed, Text("the server was not stored: " + failure));
    }
    qCInfo(platform::lcService, "server %s stored in %s/%s, asked on the bus by %s", address.c_str(),
           files_.dropInFolder.c_str(), kServerDropIn, caller.c_str());
    const ClientdConfig config = ReadClientdConfig(files_.mainFile, files_.dropInFolder);
    if (!LogConfigDiagnostics(config)) {
        const auto fatal = std::find_if(config.diagnostics.begin(), config.diagnostics.end(), [](const auto& found) {
            return found.severity == ConfigDiagnostic::Severity::Fatal;
        });
        return call.createErrorReply(QDBusError::Failed,
                                     Text("the server was stored, but the settings cannot be read: " + fatal->Where()));
    }
    service_.Apply(config.settings);
    if (config.settings.server != address)
        qCWarning(platform::lcService, "a later setting names server %s: that one is asked, not %s",
                  config.settings.server.c_str(), address.c_str());
    return call.createReply();
}

} // namespace service
