// The settings in the user's registry, and the two menu commands that change them.

#include "app/main_form.h"

#include "framework/registry.h"
#include "framework/scope_exit.h"
#include "platform/log.h"

#include <QAction>

namespace app {

void TForm1::LoadSettings()
{
    framework::TRegistry registry(services_.registry);
    Edit1->setText("127.0.0.1");
    Chimes1->setChecked(false);
    maxStep = 0;
    if (!registry.OpenKey(FRegistryKey, false))
        return;
    if (registry.ValueExists("server"))
        Edit1->setText(QString::fromStdString(registry.ReadString("server")));
    if (registry.ValueExists("chimes"))
        Chimes1->setChecked(registry.ReadBool("chimes"));
    // Set by hand only, never saved: a DWORD is unsigned, so all of it counts.
    if (registry.ValueExists("maxstep"))
        maxStep = static_cast<std::uint32_t>(registry.ReadInteger("maxstep"));
    // Set by hand only too: the seconds between two requests.
    interval = keeper::KeeperSettings::kDefaultInterval;
    if (registry.ValueExists("interval")) {
        using Settings = keeper::KeeperSettings;
        const std::chrono::seconds asked(static_cast<std::uint32_t>(registry.ReadInteger("interval")));
        if (asked >= Settings::kShortestInterval && asked <= Settings::kLongestInterval)
            interval = asked;
        else
            qCWarning(
                platform::lcSettings, "interval %lld s is outside %lld to %lld s: %lld s is used instead",
                static_cast<long long>(asked.count()), static_cast<long long>(Settings::kShortestInterval.count()),
                static_cast<long long>(Settings::kLongestInterval.count()), static_cast<long long>(interval.count()));
    }
    if (registry.ValueExists("x")) {
        move(registry.ReadInteger("x"), y());
        positionStored_ = true;
    }
    if (registry.ValueExists("y")) {
        move(x(), registry.ReadInteger("y"));
        positionStored_ = true;
    }
}

keeper::KeeperSettings TForm1::KeeperSettings() const
{
    return {.server = keeper::ServerName(Edit1->text().toStdString()), .maxStepSeconds = maxStep, .interval = interval};
}

bool TForm1::SaveSettings()
{
    // Say why rather than store nothing silently, for example under sudo with the user's HOME.
    if (const std::string refusal = services_.registry.WriteRefusal(); !refusal.empty()) {
        StatusBar1->SetPanelText(1, "Settings not saved: " + refusal);
        return false;
    }
    framework::TRegistry registry(services_.registry);
    try {
        if (!registry.OpenKey(FRegistryKey, true))
            return false;
        registry.BeginUpdate(); // one change: two saves at once never mix their values
        registry.WriteString("server", serviceShown_ ? ownServer_ : Edit1->text().toStdString());
        registry.WriteBool("chimes", Chimes1->isChecked());
        registry.WriteInteger("x", x());
        registry.WriteInteger("y", y());
        registry.EndUpdate();
    } catch (const framework::RegistryBusy& busy) {
        // Another program's doing, and likely over soon: said beside the refusals, not in a box.
        StatusBar1->SetPanelText(1, "Settings not saved: " + busy.Message());
        return false;
    }
    return true;
}

void TForm1::toolSaveBtnClick(QObject* /*Sender*/)
{
    ShowSettingsView(SaveSettings1->isChecked());
    SaveSettings();
}

void TForm1::Edit1KeyPress(QObject* /*Sender*/, Qt::Key key)
{
    if (!SaveSettings1->isChecked())
        return;
    if (key == Qt::Key_Escape) {
        Edit1->setText(fieldWhenOpened_);
        SaveSettings1->setChecked(false);
        ShowSettingsView(false);
    } else {
        SaveSettings1->trigger(); // the mark goes off and the address is stored, as from the menu
    }
}

void TForm1::ShowSettingsView(bool shown)
{
    if (shown)
        fieldWhenOpened_ = Edit1->text();
    SettingsPanel->setVisible(shown);
    DateLabel->setVisible(!shown);
    SettingsPanel->raise();
    // A hidden field keeps the focus when nothing else can take it: it is let go here.
    if (shown)
        Edit1->setFocus();
    else
        Edit1->clearFocus();
}

void TForm1::Chimes1Click(QObject* /*Sender*/)
{
    // The menu has turned the mark over already; when the save fails, however it fails, the
    // mark goes back, so that it shows what is stored.
    const bool before = !Chimes1->isChecked();
    framework::ScopeExit markBack([this, before]() noexcept { Chimes1->setChecked(before); });
    if (SaveSettings())
        markBack.Dismiss();
}

} // namespace app
