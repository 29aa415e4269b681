// The window as the system service's face: while the service keeps the clock, the keeper
// stands by and the window shows what the service says and asks the service for what the
// user wants. Once it stops, the keeper takes over where this user may set the clock;
// elsewhere it stays standing by, so that the port is left to a tray that may, and the
// window says that nothing keeps the clock.

#include "app/main_form.h"

#include "platform/log.h"

namespace app {
namespace {

constexpr const char* kClockNotKept =
    "The clock is not kept: the Tavrin service is stopped and this user cannot set the clock";

} // namespace

void TForm1::ServiceRunning(bool running)
{
    // The field shows the service's address from its first read; the user's own is kept for
    // their settings file and for when the service stops.
    if (running && !serviceShown_)
        ownServer_ = Edit1->text().toStdString();
    else if (!running && serviceShown_) {
        Edit1->setText(QString::fromStdString(ownServer_)); // the keeper follows the field
        ShowServiceNotices("");                             // the keeper raises its own
    }
    serviceShown_ = running;
    if (running) {
        qCInfo(platform::lcDesktop, "the system service runs: it keeps the clock, and the tray shows its state");
        clockKeeper->StandBy(true);
    } else if (services_.clockSetter.MaySetClock()) {
        qCInfo(platform::lcDesktop, "the system service does not run: the tray keeps the clock");
        clockKeeper->StandBy(false);
    } else {
        qCWarning(platform::lcDesktop, "%s", kClockNotKept);
        ShowStatus(kClockNotKept);
        ReportResult(kClockNotKept, true);
    }
}

void TForm1::ShowServiceState(const ctl::ServiceStatus& status, const QStringList& which)
{
    if (which.contains(QStringLiteral("Server")))
        Edit1->setText(QString::fromStdString(status.server));
    if (which.contains(QStringLiteral("LastResult")) || which.contains(QStringLiteral("Failing"))) {
        ShowStatus(status.lastResult);
        ShowErrorFace(status.failing);
        ReportResult(status.lastResult, status.failing);
    }
    if (which.contains(QStringLiteral("Notice")))
        ShowServiceNotices(status.notice);
    // Those of the service's datagrams, which the keeper still hears, hold until these change.
    if (which.contains(QStringLiteral("Source")) || which.contains(QStringLiteral("State"))) {
        if (status.source < 0 || status.state < 0)
            ShowUnknownBadge();
        else
            ShowSyncBadge(status.source, status.state);
    }
}

void TForm1::UpdateService()
{
    ShowStatus("Update Requested: Waiting for reply..");
    serviceView->Update([this](const std::string& failure) {
        // Done: the result is in the properties by now, changed or not.
        ShowStatus(failure.empty() ? serviceView->Status().lastResult : "Update failed: " + failure);
    });
}

void TForm1::Edit1Exit(QObject* /*Sender*/)
{
    if (!serviceShown_)
        return;
    const std::string address = Edit1->text().toStdString();
    if (address == serviceView->Status().server)
        return;
    serviceView->SetServer(address, [this](const std::string& failure) {
        if (failure.empty())
            return; // the field shows the Server property as it changes
        Edit1->setText(QString::fromStdString(serviceView->Status().server));
        ShowStatus("Server not changed: " + failure);
    });
}

} // namespace app
