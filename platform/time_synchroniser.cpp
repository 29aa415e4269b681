#include "platform/time_synchroniser.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <sys/timex.h>

namespace platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
constexpr int kPatienceMs = 5000; // timedated is started on demand, which may take a moment

} // namespace

std::optional<bool> SystemKernelClockState::Synchronised() const
{
    // TIME_ERROR is the state of a clock no NTP service keeps; the call only reads.
    ntptimeval now{};
    const int state = ntp_gettime(&now);
    if (state < 0)
        return std::nullopt;
    return state != TIME_ERROR;
}

SystemSynchroniserProbe::SystemSynchroniserProbe(QDBusConnection bus, const KernelClockState& kernel)
    : bus_(std::move(bus)), kernel_(kernel)
{
}

void SystemSynchroniserProbe::Ask(std::function<void(const SynchroniserFinding&)> answer)
{
    if (!bus_.isConnected()) {
        answer(AskKernel());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << kService;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kPatienceMs), &answers_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &answers_,
                     [this, watcher, answer = std::move(answer)] {
                         watcher->deleteLater();
                         const QDBusPendingReply<QVariantMap> reply = *watcher;
                         if (reply.isError()) {
                             answer(AskKernel());
                             return;
                         }
                         const QVariantMap properties = reply.value();
                         answer({SynchroniserFinding::Source::Timedated, properties.value("NTP").toBool(),
                                 properties.value("NTPSynchronized").toBool()});
                     });
}

SynchroniserFinding SystemSynchroniserProbe::AskKernel() const
{
    const std::optional<bool> synchronised = kernel_.Synchronised();
    if (!synchronised)
        return {};
    return {SynchroniserFinding::Source::Kernel, false, *synchronised};
}

} // namespace platform
