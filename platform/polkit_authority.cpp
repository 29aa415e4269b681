#include "platform/polkit_authority.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <cstdint>
#include <utility>

namespace platform {
namespace {

const QString kPolkit = QStringLiteral("org.freedesktop.PolicyKit1");
constexpr std::uint32_t kAllowUserInteraction = 1;

// The subject ("system-bus-name", {"name": <busName>}), as polkit's (sa{sv}).
QDBusArgument Subject(const QString& busName)
{
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name");
    subject.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    subject.beginMapEntry();
    subject << QStringLiteral("name") << QDBusVariant(busName);
    subject.endMapEntry();
    subject.endMap();
    subject.endStructure();
    return subject;
}

QDBusArgument NoDetails()
{
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();
    return details;
}

// polkit's answer, (bba{ss}): authorised, and whether authentication would have allowed it.
PolkitVerdict VerdictOf(const QDBusMessage& reply)
{
    const QList<QVariant> arguments = reply.arguments();
    if (reply.signature() != QLatin1String("(bba{ss})") || arguments.isEmpty())
        return {PolkitVerdict::Outcome::NoAnswer, "polkit answered with " + reply.signature().toStdString()};
    const auto result = arguments.first().value<QDBusArgument>();
    bool authorised = false;
    bool challenge = false;
    result.beginStructure();
    result >> authorised >> challenge;
    result.endStructure();
    if (authorised)
        return {PolkitVerdict::Outcome::Allowed, {}};
    return {challenge ? PolkitVerdict::Outcome::NeedsInteraction : PolkitVerdict::Outcome::Refused, {}};
}

} // namespace

void PolkitAuthority::Check(const QDBusConnection& bus, const QString& busName, const QString& action, bool interactive,
                            std::function<void(const PolkitVerdict&)> verdict)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kPolkit, QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                                       QStringLiteral("org.freedesktop.PolicyKit1.Authority"),
                                                       QStringLiteral("CheckAuthorization"));
    call << QVariant::fromValue(Subject(busName)) << action << QVariant::fromValue(NoDetails())
         << (interactive ? kAllowUserInteraction : std::uint32_t{0}) << QString();
    const auto patience = std::chrono::milliseconds(interactive ? kInteractivePatience : kPatience);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, static_cast<int>(patience.count())), &answers_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &answers_, [watcher, verdict = std::move(verdict)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            verdict(VerdictOf(reply));
            return;
        }
        const QDBusError error = watcher->error();
        // The bus's word for a name that nobody owns and no service file starts.
        const bool absent = error.type() == QDBusError::ServiceUnknown;
        verdict({PolkitVerdict::Outcome::NoAnswer, absent ? "polkit is not on the system bus"
                                                          : "polkit did not answer: " + error.message().toStdString()});
    });
}

} // namespace platform
