#include "tests/support/fake_polkit.h"

#include "tests/support/event_loop.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace testsupport {
namespace {

const QString kName = QStringLiteral("org.freedesktop.PolicyKit1");
int made = 0;

} // namespace

FakePolkit::FakePolkit(const std::string& busAddress)
    : mock_(std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "polkitd"},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress})),
      connectionName_(QStringLiteral("tavrin-test-polkit-%1").arg(++made)),
      bus_(QDBusConnection::connectToBus(QString::fromStdString(busAddress), connectionName_))
{
    running_ = bus_.isConnected()
            && ProcessEventsUntil([this] { return bus_.interface()->isServiceRegistered(kName).value(); },
                                  std::chrono::seconds(10));
}

FakePolkit::~FakePolkit()
{
    QDBusConnection::disconnectFromBus(connectionName_);
}

bool FakePolkit::Tell(const QString& method, const QVariant& argument)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kName, QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    if (argument.isValid())
        call << argument;
    return bus_.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool FakePolkit::Allow(const QStringList& actions)
{
    return Tell(QStringLiteral("SetAllowed"), actions);
}

bool FakePolkit::Hold(const QStringList& actions)
{
    return Tell(QStringLiteral("SimulateHangActions"), actions);
}

bool FakePolkit::Release()
{
    return Tell(QStringLiteral("ReleaseHangingCalls"), {});
}

std::optional<std::string> FakePolkit::NextCheck(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto left = timeout; left.count() > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())) {
        const auto line = mock_->ReadLine(left);
        if (!line)
            return std::nullopt;
        if (const auto at = line->find("CheckAuthorization"); at != std::string::npos)
            return line->substr(at);
    }
    return std::nullopt;
}

} // namespace testsupport
