// The icon in the notification area and the window's hide-to-tray behaviour.

#include "app/images.h"
#include "app/main_form.h"
#include "framework/application.h"

#include <QCloseEvent>
#include <QMenu>
#include <QTimer>

namespace app {
namespace {

constexpr std::size_t kMaxTipLength = 127;
constexpr const char* kNotificationTitle = "Tavrin Client";
// The faces' names in the icon theme, as packaging installs them.
constexpr const char* kNormalFaceName = "tavrin-client-tray";
constexpr const char* kErrorFaceName = "tavrin-client-tray-error";

} // namespace

bool TForm1::UpdateTrayIcon(platform::TrayAction action)
{
    // Only a modify carries the face and the tip; an added icon stays empty until then.
    platform::TrayFace face;
    std::string tip;
    if (action == platform::TrayAction::Modify) {
        face = FErrorIcon ? platform::TrayFace{ErrorTrayIcon(), kErrorFaceName, true}
                          : platform::TrayFace{NormalTrayIcon(), kNormalFaceName, false};
        tip = trayStatus.Title().substr(0, kMaxTipLength) + trayStatus.TipLines();
    }
    const bool done = services_.tray.Notify(action, face, tip);
    if (done && action != platform::TrayAction::Modify)
        trayIconAdded_ = action == platform::TrayAction::Add;
    return done;
}

void TForm1::ShowErrorFace(bool failing)
{
    if (std::exchange(FErrorIcon, failing) != failing)
        UpdateTrayIcon(platform::TrayAction::Modify);
}

void TForm1::ReportResult(const std::string& line, bool failing)
{
    if (failing)
        FErrorIcon = true;
    const bool worse = trayStatus.SetResult(line, failing);
    UpdateTrayIcon(platform::TrayAction::Modify);
    if (worse)
        services_.tray.ShowMessage(kNotificationTitle, line);
}

void TForm1::ReportNotice(keeper::Notice notice, const std::string& text)
{
    const bool raised = trayStatus.SetNotice(notice, text);
    UpdateTrayIcon(platform::TrayAction::Modify);
    if (raised)
        services_.tray.ShowMessage(kNotificationTitle, text);
}

void TForm1::ShowServiceNotices(const std::string& lines)
{
    const bool raised = trayStatus.SetServiceNotices(lines);
    UpdateTrayIcon(platform::TrayAction::Modify);
    if (raised)
        services_.tray.ShowMessage(kNotificationTitle, lines);
}

void TForm1::HandleTrayNotify(platform::TrayMouseEvent event)
{
    switch (event) {
    case platform::TrayMouseEvent::DoubleClick:
    case platform::TrayMouseEvent::Activate:
        ShowWindow();
        break;
    case platform::TrayMouseEvent::RightButtonUp:
        // Never a menu loop of its own: a panel waits for this call to return. A menu open
        // already stays as it is, however many more clicks come.
        if (PopupMenu1->isVisible())
            break;
        if (const auto cursor = services_.tray.CursorPosition()) {
            activateWindow();
            PopupMenu1->popup(*cursor);
        } else {
            ShowWindow();
        }
        break;
    case platform::TrayMouseEvent::Other:
        break;
    }
}

void TForm1::HandleTrayAvailable()
{
    if (!UpdateTrayIcon(platform::TrayAction::Add))
        return;
    UpdateTrayIcon(platform::TrayAction::Modify);
    // A window shown only because there was no tray goes to it now; one the user asked for stays.
    if (std::exchange(shownForLackOfTray_, false)) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
    }
}

void TForm1::ShowIfNoTrayWithin(std::chrono::milliseconds patience)
{
    const auto showForLackOfTray = [this] {
        if (trayIconAdded_ || isVisible())
            return;
        Present();
        shownForLackOfTray_ = true;
    };
    QTimer::singleShot(patience, this, framework::Guarded(showForLackOfTray));
}

void TForm1::Properties1Click(QObject* /*Sender*/)
{
    ShowWindow();
}

void TForm1::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && trayIconAdded_) {
        // Hidden, not minimised: no task-bar entry is left, and the next show is normal.
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    event->ignore();
    // Without an icon to come back from, the window stays on the task bar.
    if (trayIconAdded_)
        hide();
    else
        showMinimized();
}

} // namespace app
