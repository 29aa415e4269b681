#include "framework/registry.h"
#include "platform/unique_fd.h"
#include "tests/support/event_loop.h"
#include "tests/support/file_text.h"
#include "tests/support/form_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/raised_by.h"
#include "tests/support/watchdog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using app::FormServices;
using app::TForm1;
using platform::RegistryValue;
using testsupport::FormTest;
using testsupport::RaisedBy;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

const std::string kKey = "SOFTWARE\\DOVETRA\\TAVRINCLIENT";

RegistryValue Dword(std::int32_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((static_cast<std::uint32_t>(value) >> shift) & 0xFF);
    return {platform::REG_DWORD, bytes};
}

RegistryValue Text(const std::string& text)
{
    return {platform::REG_SZ, text + '\0'};
}

// Centred within what a window frame and rounding may add.
bool Centred(const QWidget& window)
{
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    return (window.frameGeometry().center() - screenCentre).manhattanLength() <= 8;
}

} // namespace

class Settings : public FormTest {
protected:
    // The registry as the program finds it at start.
    void SetUp() override { clock.Set(12, 0, 0); }

    void Stored(const std::string& name, const RegistryValue& value) { registry.keys.SetValue(kKey, name, value); }
    std::optional<RegistryValue> Saved(const std::string& name) { return registry.keys.Value(kKey, name); }
};

TEST_F(Settings, WithoutAKeyTheDefaultsApplyAndTheWindowIsCentred)
{
    MakeForm();
    EXPECT_EQ(form->Edit1->text(), "127.0.0.1");
    EXPECT_FALSE(form->Chimes1->isChecked());
    EXPECT_FALSE(registry.keys.HasKey(kKey)); // reading creates nothing
    form->ShowWindow();
    EXPECT_TRUE(Centred(*form));
}

TEST_F(Settings, StoredValuesFillTheControls)
{
    Stored("server", Text("192.168.1.5"));
    Stored("chimes", Dword(2));
    Stored("x", Dword(-10));
    Stored("y", Dword(-20));
    MakeForm();
    EXPECT_EQ(form->Edit1->text(), "192.168.1.5");
    EXPECT_TRUE(form->Chimes1->isChecked());
    EXPECT_EQ(form->pos(), QPoint(-10, -20));
}

// The values set by hand only reach the keeper; an interval outside its range gives way to
// the default, with a line in the log.
TEST_F(Settings, HandSetValuesReachTheKeeperWithinTheirRanges)
{
    struct Case {
        std::int32_t maxStep;
        std::int32_t interval;
        std::uint32_t keptMaxStep;
        std::chrono::seconds keptInterval;
        bool logged;
    };
    for (const Case& c :
         {Case{3600, 16, 3600, std::chrono::seconds(16), false}, Case{0, 86400, 0, std::chrono::seconds(86400), false},
          Case{-1, 15, 0xFFFFFFFF, std::chrono::seconds(300), true}, Case{1, 86401, 1, std::chrono::seconds(300), true},
          Case{1, -1, 1, std::chrono::seconds(300), true}}) {
        SCOPED_TRACE(c.interval);
        const testsupport::LogLines log("tavrin.settings");
        Stored("server", Text("10.0.0.1"));
        Stored("maxstep", Dword(c.maxStep));
        Stored("interval", Dword(c.interval));
        MakeForm();
        const keeper::KeeperSettings& settings = form->clockKeeper->Settings();
        EXPECT_EQ(settings.server.Text(), "10.0.0.1");
        EXPECT_EQ(settings.maxStepSeconds, c.keptMaxStep);
        EXPECT_EQ(settings.interval, c.keptInterval);
        EXPECT_EQ(log.Count("is outside 16 to 86400 s: 300 s is used instead"), c.logged ? 1 : 0);
    }
}

TEST_F(Settings, AnEmptyServerGivesAnEmptyField)
{
    Stored("server", Text(""));
    MakeForm();
    EXPECT_EQ(form->Edit1->text(), "");
}

TEST_F(Settings, ChimesStoredAsTwoIsOnAndSavedBackAsOne)
{
    Stored("chimes", Dword(2));
    MakeForm();
    form->Chimes1->trigger(); // off
    form->Chimes1->trigger(); // on again
    EXPECT_EQ(Saved("chimes")->data, Dword(1).data);
}

TEST_F(Settings, AValueOfTheWrongTypeStopsTheStart)
{
    Stored("server", Text("10.1.1.1"));
    Stored("x", Text("12"));
    EXPECT_EQ(RaisedBy<framework::RegistryException>([&] { MakeForm(); }), "Invalid data type for 'x'");
    Stored("x", {platform::REG_QWORD, std::string(8, '\0')});
    EXPECT_EQ(RaisedBy<framework::RegistryException>([&] { MakeForm(); }), "Failed to get data for 'x'");
}

TEST_F(Settings, SettingsTwiceStoresTheAddressTypedBetween)
{
    MakeForm();
    form->show();
    form->SaveSettings1->trigger();
    EXPECT_TRUE(form->SaveSettings1->isChecked());
    EXPECT_TRUE(form->SettingsPanel->isVisible());
    EXPECT_FALSE(form->DateLabel->isVisible());
    // The panel takes the date's place.
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return form->SettingsPanel->height() == 86 + 28; }));
    EXPECT_EQ(Saved("server")->data, Text("127.0.0.1").data);

    form->Edit1->setText("10.0.0.7");
    form->SaveSettings1->trigger();
    EXPECT_FALSE(form->SaveSettings1->isChecked());
    EXPECT_FALSE(form->SettingsPanel->isVisible());
    EXPECT_TRUE(form->ClockPanel->isVisible());
    EXPECT_TRUE(form->DateLabel->isVisible());
    EXPECT_EQ(Saved("server")->data, Text("10.0.0.7").data);
    for (const char* name : {"chimes", "x", "y"})
        EXPECT_EQ(Saved(name)->type, platform::REG_DWORD) << name;
}

// Return (or the keypad's Enter) in the address field stores it as "Settings" does;
// Escape leaves it unstored, with the text it had. Either way the field is left once.
TEST_F(Settings, ReturnInTheFieldStoresItAndEscapeLeavesItAsItWas)
{
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        SCOPED_TRACE(key);
        form.reset();
        Stored("server", Text("10.0.0.1"));
        MakeForm();
        form->show();
        form->SaveSettings1->trigger();
        QLineEdit* field = form->Edit1->Editor();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return field->hasFocus(); }));
        field->setText("10.0.0.7");
        int exits = 0; // while the service runs, each asks it to change its address
        QObject::connect(field, &QLineEdit::editingFinished, [&] { ++exits; });
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(field, &press);
        const std::string expected = key == Qt::Key_Escape ? "10.0.0.1" : "10.0.0.7";
        EXPECT_EQ(Saved("server")->data, Text(expected).data);
        EXPECT_EQ(form->clockKeeper->Settings().server.Text(), expected);
        EXPECT_FALSE(form->SaveSettings1->isChecked() || form->SettingsPanel->isVisible() || field->hasFocus());
        EXPECT_EQ(exits, 1);
    }
}

TEST_F(Settings, EndingInTheSettingsViewKeepsTheAddressStoredWhenItOpened)
{
    MakeForm();
    form->SaveSettings1->trigger();
    form->Edit1->setText("10.9.9.9");
    form.reset();
    EXPECT_EQ(Saved("server")->data, Text("127.0.0.1").data);
}

TEST_F(Settings, HourAlarmStoresTheWindowPositionWithIt)
{
    MakeForm();
    form->move(300, 200);
    form->Chimes1->trigger();
    EXPECT_EQ(registry.changes, 1); // all four in one change
    EXPECT_EQ(Saved("chimes")->data, Dword(1).data);
    EXPECT_EQ(Saved("x")->data, Dword(300).data);
    EXPECT_EQ(Saved("y")->data, Dword(200).data);
}

TEST_F(Settings, AFailedSaveIsShownAndStoresNoneOfItsValues)
{
    Stored("server", Text("10.1.1.1"));
    MakeForm();
    registry.failWrites = true;
    form->Chimes1->trigger();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].text, "Failed to set data for 'server'"); // as when the first write fails
    EXPECT_EQ(Saved("server")->data, Text("10.1.1.1").data);
    EXPECT_FALSE(Saved("chimes"));
    EXPECT_FALSE(form->Chimes1->isChecked()); // the mark says what is stored
}

TEST_F(Settings, TheHourAlarmsMarkGoesBackWhenItsSaveFailsHoweverItFails)
{
    struct Case {
        const char* what;
        bool keyThere; // the settings key is in the registry at start
        std::function<void(testsupport::MemoryRegistryHive&)> make;
        bool saved;
        std::string panel; // what panel 1 says after the save
        std::size_t boxes;
    };
    const std::vector<Case> cases = {
        {"saved", true, [](auto&) {}, true, "", 0},
        {"refused", true, [](auto& hive) { hive.refusal = "/home/ann belongs to ann"; }, false,
         "Settings not saved: /home/ann belongs to ann", 0},
        {"busy", true, [](auto& hive) { hive.busy = "another program holds /x.lock"; }, false,
         "Settings not saved: another program holds /x.lock", 0},
        {"busy before the key is made", false, [](auto& hive) { hive.busy = "another program holds /x.lock"; }, false,
         "Settings not saved: another program holds /x.lock", 0},
        {"write failed", true, [](auto& hive) { hive.failWrites = true; }, false, "", 1},
        {"key not made", false, [](auto& hive) { hive.failWrites = true; }, false, "", 0},
    };
    for (const Case& save : cases) {
        for (const bool chimes : {false, true}) {
            if (chimes && !save.keyThere)
                continue; // nothing stored to start from
            registry = {};
            alerts.shown.clear();
            if (save.keyThere)
                Stored("chimes", Dword(chimes));
            MakeForm();
            ASSERT_EQ(form->Chimes1->isChecked(), chimes);
            save.make(registry);
            form->StatusBar1->SetPanelText(1, "");
            form->Chimes1->trigger();
            EXPECT_EQ(form->Chimes1->isChecked(), save.saved ? !chimes : chimes) << save.what << ", from " << chimes;
            EXPECT_EQ(Saved("chimes") == Dword(!chimes), save.saved) << save.what << ", from " << chimes;
            EXPECT_EQ(form->StatusBar1->PanelText(1), save.panel) << save.what;
            EXPECT_EQ(alerts.shown.size(), save.boxes) << save.what;
        }
    }
}

TEST_F(Settings, AKeyThatCannotBeMadeSavesNothingAndSaysNothing)
{
    MakeForm();
    registry.failWrites = true;
    form->Chimes1->trigger();
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_FALSE(registry.keys.HasKey(kKey));
}

TEST_F(Settings, AStoredPositionOnAScreenIsKeptAtTheFirstShow)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Stored("x", Dword(screen.left() + 20));
    Stored("y", Dword(screen.top() + 30));
    MakeForm();
    form->ShowWindow();
    EXPECT_EQ(form->pos(), QPoint(screen.left() + 20, screen.top() + 30));
}

TEST_F(Settings, AStoredPositionOffEveryScreenIsCentred)
{
    Stored("x", Dword(100000));
    Stored("y", Dword(100000));
    MakeForm();
    form->ShowWindow();
    EXPECT_TRUE(Centred(*form));
}

// The window over the real settings file.
class SettingsFile : public FormTest {
protected:
    void SetUp() override { clock.Set(12, 0, 0); }

    void MakeFormOver(platform::RegistryHive& hive)
    {
        form = std::make_unique<TForm1>(FormServices{application, locks, clock, sound, tray, hive, clockSetter, ports});
        form->Timer1->stop();
    }

    QTemporaryDir dir;
};

TEST_F(SettingsFile, UnderSudoWithTheUsersHomeNothingIsMadeThereAndTheReasonIsGivenOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a HOME to another user";
    const QString home = dir.filePath("home");
    ASSERT_TRUE(QDir().mkpath(home));
    ASSERT_EQ(chown(home.toLocal8Bit().constData(), 54321, 54321), 0);
    const testsupport::LogLines log("tavrin.settings");
    platform::FileRegistryHive hive((home + "/.config/tavrin-client/user.reg").toStdString(), {});
    const std::vector<std::string> atStart = log.Texts();
    ASSERT_EQ(atStart.size(), 1u); // before any save
    EXPECT_EQ(atStart[0].rfind("settings are not saved: " + home.toStdString() + " belongs to ", 0), 0u) << atStart[0];
    MakeFormOver(hive);
    form->Chimes1->trigger();
    form->SaveSettings1->trigger();
    EXPECT_EQ(form->StatusBar1->PanelText(1).rfind("Settings not saved: " + home.toStdString() + " belongs to ", 0),
              0u);
    EXPECT_EQ(log.Texts().size(), 1u);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(QDir(home).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

TEST_F(SettingsFile, ASaveWhileAnotherProgramHoldsTheFileSaysSoAndKeepsTheMark)
{
    const testsupport::Watchdog watchdog(std::chrono::seconds(10)); // the window waits a bounded time
    const std::string path = dir.filePath("tavrin-client/user.reg").toStdString();
    platform::FileRegistryHive hive(path, {});
    MakeFormOver(hive);
    form->Chimes1->trigger(); // makes the file and the lock file
    ASSERT_TRUE(form->Chimes1->isChecked());
    const std::string before = ReadFile(path);
    const platform::UniqueFd other(open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(flock(other.Get(), LOCK_EX), 0);

    const testsupport::LogLines log("tavrin.settings");
    form->Chimes1->trigger();
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Settings not saved: another program holds " + path + ".lock");
    EXPECT_EQ(log.Texts(), std::vector<std::string>({"settings not saved: another program holds " + path + ".lock"}));
    EXPECT_TRUE(form->Chimes1->isChecked());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(QDir(dir.filePath("tavrin-client")).entryList(QDir::Files | QDir::Hidden),
              QStringList({"user.reg", "user.reg.lock"})); // no file made beside it
}

TEST_F(SettingsFile, AFileThatCannotBeReadIsInTheLogOnceBesidesTheBox)
{
    const std::string path = dir.filePath("tavrin-client/user.reg").toStdString();
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(path, "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"x\"=dword:1\nnonsense\n");
    const testsupport::LogLines log("tavrin.settings");
    platform::FileRegistryHive hive(path, {});
    const std::string fault = path + ":4: expected '\"'";
    for (int start = 0; start < 2; ++start)
        EXPECT_EQ(RaisedBy<framework::RegistryException>([&] { MakeFormOver(hive); }), fault);
    const std::vector<testsupport::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].type, QtWarningMsg);
    EXPECT_EQ(lines[0].text, "settings file not used: " + fault);
}
