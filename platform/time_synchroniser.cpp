#include "platform/time_synchroniser.h"

#include "platform/log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <sys/timex.h>

#include <utility>

namespace platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
constexpr int kPatienceMs = 5000; // timedated is started on demand, which may take a moment
int probesMade = 0;               // probes are made on the main thread only

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

SystemSynchroniserProbe::SystemSynchroniserProbe(std::string busAddress, const KernelClockState& kernel,
                                                 std::chrono::milliseconds busPatience)
    : busAddress_(std::move(busAddress)),
      kernel_(kernel),
      busPatience_(busPatience),
      connectionName_(QStringLiteral("tavrin-system-bus-%1").arg(++probesMade)),
      bus_(connectionName_)
{
}

SystemSynchroniserProbe::~SystemSynchroniserProbe()
{
    check_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
}

void SystemSynchroniserProbe::Ask(std::function<void(const SynchroniserFinding&)> answer)
{
    if (bus_.isConnected()) {
        AskTimedated(std::move(answer));
        return;
    }
    waiting_.push_back(std::move(answer));
    if (check_ && !check_->Finished())
        return; // the check under way answers this one too
    check_ =
        std::make_unique<BusAnswerCheck>(busAddress_, busPatience_, [this](BusAnswer found) { BusChecked(found); });
}

void SystemSynchroniserProbe::BusChecked(BusAnswer found)
{
    if (found == BusAnswer::Answered) {
        // Gone since the last connection, if there was one: Qt would hand that one back.
        QDBusConnection::disconnectFromBus(connectionName_);
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(busAddress_), connectionName_);
        silenceLogged_ = false;
    } else if (!std::exchange(silenceLogged_, true)) {
        if (found == BusAnswer::Absent)
            qCWarning(lcSync, "no system bus at %s (nothing listens there): the kernel is asked instead",
                      busAddress_.c_str());
        else
            qCWarning(lcSync, "the system bus at %s does not answer within %lld ms: the kernel is asked instead",
                      busAddress_.c_str(), static_cast<long long>(busPatience_.count()));
    }
    for (auto& answer : std::exchange(waiting_, {})) {
        if (bus_.isConnected())
            AskTimedated(std::move(answer));
        else
            answer(AskKernel());
    }
}

void SystemSynchroniserProbe::AskTimedated(std::function<void(const SynchroniserFinding&)> answer)
{
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
