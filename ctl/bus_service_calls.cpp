#include "ctl/bus_service_calls.h"

#include "ctl/service_status.h"

#include "platform/bus_answer_check.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QEventLoop>
#include <QVariantMap>

#include <utility>

namespace ctl {
namespace {

const QString kService = QString::fromLatin1(kServiceName);
const QString kPath = QString::fromLatin1(kServicePath);
const QString kInterface = QString::fromLatin1(kServiceInterface);
const QString kConnectionName = QStringLiteral("tavrinctl-system-bus");
const QString kRoundTripName = QStringLiteral("tavrinctl-round-trip");

std::string Seconds(std::chrono::milliseconds span)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(span).count()) + " s";
}

} // namespace

BusServiceCalls::BusServiceCalls(std::string busAddress) : busAddress_(std::move(busAddress)), bus_(kConnectionName) {}

BusServiceCalls::~BusServiceCalls()
{
    const bool connected = bus_.isConnected();
    bus_ = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(kConnectionName);
    if (!connected)
        return;
    // Qt finishes closing a connection on its D-Bus thread. A program this short may
    // otherwise end while that thread still handles the bus's last messages, after Qt's
    // types are gone, and each such message is a warning on standard error. A connection
    // asked for goes through that thread and waits for it; one to the empty address
    // fails there at once, having touched nothing, once the closing is done.
    QDBusConnection::connectToBus(QString(), kRoundTripName);
    QDBusConnection::disconnectFromBus(kRoundTripName);
}

std::optional<BusFailure> BusServiceCalls::Connect()
{
    if (bus_.isConnected())
        return std::nullopt;
    auto answer = platform::BusAnswer::Silent;
    QEventLoop loop;
    const platform::BusAnswerCheck check(busAddress_, kBusPatience, [&](platform::BusAnswer outcome) {
        answer = outcome;
        loop.quit();
    });
    loop.exec();
    if (answer == platform::BusAnswer::Absent)
        return BusFailure{BusFailure::Kind::NoBus, "no system bus at " + busAddress_ + " (nothing listens there)"};
    if (answer == platform::BusAnswer::Answered)
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(busAddress_), kConnectionName);
    if (!bus_.isConnected())
        return BusFailure{BusFailure::Kind::NoBus, "the system bus at " + busAddress_
                                                       + " cannot be reached, or does not answer within "
                                                       + Seconds(kBusPatience)};
    return std::nullopt;
}

std::variant<QDBusMessage, BusFailure> BusServiceCalls::Call(const QDBusMessage& call,
                                                             std::chrono::milliseconds patience)
{
    if (auto failure = Connect())
        return *failure;
    const QDBusMessage reply = bus_.call(call, QDBus::Block, static_cast<int>(patience.count()));
    if (reply.type() == QDBusMessage::ReplyMessage)
        return reply;
    BusFailure failure = FailureFromError(reply.errorName().toStdString(), reply.errorMessage().toStdString());
    // Qt's own words for a missing reply speak of its internals; ours say how long we waited.
    if (failure.kind == BusFailure::Kind::NoAnswer)
        failure.message = "the service did not answer within " + Seconds(patience);
    return failure;
}

std::variant<ServiceStatus, BusFailure> BusServiceCalls::ReadStatus()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << kInterface;
    auto reply = Call(call, kCallPatience);
    if (auto* failure = std::get_if<BusFailure>(&reply))
        return *failure;
    const QList<QVariant> arguments = std::get<QDBusMessage>(reply).arguments();
    if (arguments.size() != 1 || !arguments.front().canConvert<QDBusArgument>())
        return BusFailure{BusFailure::Kind::Failed, "its properties came in a form this program does not read"};
    return StatusFromProperties(qdbus_cast<QVariantMap>(arguments.front()));
}

std::optional<BusFailure> BusServiceCalls::Update()
{
    auto reply =
        Call(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Update")), kUpdatePatience);
    if (auto* failure = std::get_if<BusFailure>(&reply))
        return *failure;
    return std::nullopt;
}

std::optional<BusFailure> BusServiceCalls::SetServer(const std::string& address, bool interactive)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetServer"));
    call << QString::fromStdString(address) << interactive;
    // The header's flag is what polkit-aware services read; the argument says the same in
    // the interface itself.
    call.setInteractiveAuthorizationAllowed(interactive);
    auto reply = Call(call, interactive ? kPasswordPatience : kCallPatience);
    if (auto* failure = std::get_if<BusFailure>(&reply))
        return *failure;
    return std::nullopt;
}

} // namespace ctl
