#include "platform/bus_link.h"

#include <QDBusError>

#include <utility>

namespace platform {
namespace {

int linksMade = 0; // on the main thread only

} // namespace

BusLink::BusLink(std::string address, std::string what, Category category, Connected connected,
                 std::chrono::milliseconds patience, std::chrono::milliseconds retry, Unavailable unavailable)
    : address_(std::move(address)),
      what_(std::move(what)),
      category_(category),
      connected_(std::move(connected)),
      unavailable_(std::move(unavailable)),
      patience_(patience),
      retry_(retry),
      connectionName_(QStringLiteral("tavrin-bus-link-%1").arg(++linksMade)),
      bus_(connectionName_)
{
    retryTimer_.setInterval(retry_);
    QObject::connect(&retryTimer_, &QTimer::timeout, [this] { Look(); });
    retryTimer_.start();
    Look();
}

BusLink::~BusLink()
{
    retryTimer_.stop();
    check_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
}

void BusLink::Look()
{
    if (bus_.isConnected())
        return;
    if (std::exchange(hadConnection_, false))
        NoteUnusable("the connection was lost");
    if (check_ && !check_->Finished())
        return;
    check_ = std::make_unique<BusAnswerCheck>(address_, patience_, [this](BusAnswer answer) { Checked(answer); });
}

void BusLink::Checked(BusAnswer answer)
{
    if (answer == BusAnswer::Absent) {
        NoteSilence("no " + BusKind(address_) + " at " + address_ + " (nothing listens there)");
        return;
    }
    if (answer == BusAnswer::Silent) {
        NoteUnusable("it does not answer within " + std::to_string(patience_.count()) + " ms");
        return;
    }
    // Gone since the last connection, if there was one: Qt would hand that one back.
    QDBusConnection::disconnectFromBus(connectionName_);
    bus_ = QDBusConnection::connectToBus(QString::fromStdString(address_), connectionName_);
    if (!bus_.isConnected()) {
        NoteUnusable(bus_.lastError().message().toStdString());
        return;
    }
    if (std::exchange(silenceLogged_, false))
        qCInfo(category_, "the %s at %s answers now: %s is on it", BusKind(address_).c_str(), address_.c_str(),
               what_.c_str());
    hadConnection_ = true;
    connected_(bus_);
}

void BusLink::NoteUnusable(const std::string& why)
{
    NoteSilence("the " + BusKind(address_) + " at " + address_ + " cannot be used (" + why + ")");
}

void BusLink::NoteSilence(const std::string& what)
{
    if (unavailable_)
        unavailable_();
    if (std::exchange(silenceLogged_, true))
        return;
    qCWarning(category_, "%s: %s waits for it, looking again every %g s", what.c_str(), what_.c_str(),
              std::chrono::duration<double>(retry_).count());
}

} // namespace platform
