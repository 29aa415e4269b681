#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

using testsupport::FormTest;

namespace {

// Types as the keyboard does: each key goes to the widget with the focus, or to the window.
void Type(QWidget* window, const QString& keys)
{
    for (const QChar key : keys) {
        for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : window;
            QKeyEvent event(type, key.unicode(), Qt::NoModifier, QString(key));
            QApplication::sendEvent(target, &event);
        }
    }
}

QStringList Captions(const QMenu* menu)
{
    QStringList captions;
    for (const QAction* action : menu->actions())
        captions << (action->isSeparator() ? QString("-") : action->text());
    return captions;
}

} // namespace

class MainWindow : public FormTest {};

TEST_F(MainWindow, StartsHiddenWithItsCaptionAndAFixedSize)
{
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), "Tavrin Client V2.00");
    EXPECT_EQ(form->centralWidget()->size(), QSize(260, 135));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());
}

TEST_F(MainWindow, ControlsHoldTheirTextsBeforeTheFirstTick)
{
    EXPECT_EQ(form->lblH->text(), "00");
    EXPECT_EQ(form->DotLabel->text(), ":");
    EXPECT_EQ(form->lblM->text(), "00");
    EXPECT_EQ(form->lblS->text(), "00");
    EXPECT_EQ(form->DateLabel->text(), "21 May 2008");
    EXPECT_EQ(form->tsStatus->Caption(), "Unknown");
    EXPECT_EQ(form->tsStatus->Color(), clBtnFace);
    EXPECT_EQ(form->tsStatus->FontColor(), clGray);
    EXPECT_EQ(form->StatusBar1->PanelText(0), "0");
    EXPECT_EQ(form->StatusBar1->PanelText(1), "");
    EXPECT_EQ(form->Label1->text(), "Tavrin Server TCP/IP:");
    EXPECT_EQ(form->Edit1->text(), "127.0.0.1");
    EXPECT_EQ(form->Edit1->toolTip(), "IP Address / Name");
    EXPECT_EQ(form->DotLabel->Tag, 0);
}

TEST_F(MainWindow, ClockViewLiesOverTheHiddenSettingsAndImagesStayHidden)
{
    form->show();
    EXPECT_TRUE(form->ClockPanel->isVisible());
    EXPECT_FALSE(form->SettingsPanel->isVisible());
    EXPECT_EQ(form->ClockPanel->size(), QSize(258, 86));
    // The later sibling is drawn on top.
    const QObjectList& siblings = form->Panel1->children();
    EXPECT_GT(siblings.indexOf(form->ClockPanel), siblings.indexOf(form->SettingsPanel));
    EXPECT_TRUE(form->DateLabel->isVisible());
    EXPECT_EQ(form->DateLabel->height(), 28);
    EXPECT_FALSE(form->Image1->isVisible());
    EXPECT_FALSE(form->Image2->isVisible());
    EXPECT_FALSE(form->Image1->pixmap().isNull());
    EXPECT_FALSE(form->Image2->pixmap().isNull());
    EXPECT_EQ(form->lblH->geometry(), QRect(6, 4, 84, 85));
    EXPECT_EQ(form->tsStatus->geometry(), QRect(196, 17, 59, 16));
}

TEST_F(MainWindow, MenusCarryTheirCaptionsAccessKeysAndDefaultItem)
{
    QStringList headings;
    for (const QAction* action : form->menuBar()->actions())
        headings << action->text();
    EXPECT_EQ(headings, QStringList({"&System", "&Update"}));
    EXPECT_EQ(Captions(form->System1), QStringList({"&Settings", "Hour &Alarm", "-", "E&xit"}));
    EXPECT_EQ(Captions(form->Update1), QStringList({"&Force Now!"}));
    EXPECT_EQ(Captions(form->PopupMenu1), QStringList({"&Properties", "E&xit"}));
    EXPECT_EQ(form->PopupMenu1->defaultAction(), form->Properties1);
    EXPECT_TRUE(form->Properties1->font().bold());
    EXPECT_TRUE(form->SaveSettings1->isCheckable());
    EXPECT_FALSE(form->SaveSettings1->isChecked());
    EXPECT_TRUE(form->Chimes1->isCheckable());
    EXPECT_FALSE(form->Chimes1->isChecked());
}

TEST_F(MainWindow, KeystrokesWhileTheClockShowsNeverReachTheAddress)
{
    form->ShowWindow();
    QApplication::setActiveWindow(form.get());
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &tab); // looks for something to type into
    Type(form.get(), "10.9.9.9");
    EXPECT_EQ(form->Edit1->text(), "127.0.0.1");
    EXPECT_NE(QApplication::focusWidget(), form->Edit1);

    form->SaveSettings1->trigger(); // "Settings": the field shows and takes the keys
    EXPECT_EQ(QApplication::focusWidget(), form->Edit1);
    form->Edit1->selectAll();
    Type(form.get(), "10.0.0.7");
    EXPECT_EQ(form->Edit1->text(), "10.0.0.7");
    form->SaveSettings1->trigger();
    Type(form.get(), "1");
    EXPECT_EQ(form->Edit1->text(), "10.0.0.7");
}

TEST_F(MainWindow, F10OpensTheMenuBar)
{
    form->ShowWindow();
    QApplication::setActiveWindow(form.get());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_F10, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &press);
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return form->System1->isVisible(); }));
    form->System1->close();
}

TEST_F(MainWindow, StateAfterConstruction)
{
    EXPECT_EQ(form->FCurrentTime, 0.0);
    EXPECT_EQ(form->FRegistryKey, "\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\");
    EXPECT_EQ(form->FRequestText, "");
    EXPECT_TRUE(form->FFirstFetch);
    EXPECT_EQ(form->FEchoCode, 9999);
    EXPECT_TRUE(form->FOpenPending);
    EXPECT_FALSE(form->FConnected);
    EXPECT_FALSE(form->FConnectFailed);
    EXPECT_EQ(form->FSyncState, 0);
    EXPECT_EQ(form->FTimeSource, 0);
    EXPECT_TRUE(form->FChimeDone);
    EXPECT_FALSE(form->FErrorIcon);
}

TEST_F(MainWindow, TimersAsLoaded)
{
    form = std::make_unique<TForm1>(Services());
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 250);
    EXPECT_EQ(form->Timer1->Tag, 1200);
    EXPECT_FALSE(form->LocalGroupTimer->isActive());
    EXPECT_EQ(form->LocalGroupTimer->interval(), 10);
}

TEST_F(MainWindow, TakesTheWindowLockQuietlyWhenFree)
{
    EXPECT_EQ(locks.acquired, std::vector<std::string>({"tclient"}));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_FALSE(application.Terminated());
}

TEST_F(MainWindow, WindowLockHeldElsewhereAlertsAndEndsAfterConstruction)
{
    form.reset();
    locks.heldElsewhere.insert("tclient");
    MakeForm();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].text, "Tavrin Client is already running.");
    EXPECT_EQ(alerts.shown[0].caption, "Dovetra Tavrin Client");
    EXPECT_EQ(alerts.shown[0].icon, platform::AlertIcon::Exclamation);
    EXPECT_TRUE(application.Terminated());
    // Construction went on all the same.
    EXPECT_TRUE(form->FFirstFetch);
    EXPECT_EQ(form->FRegistryKey, "\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\");
}

TEST_F(MainWindow, ExitFromEitherMenuEndsTheProgram)
{
    form->ShowWindow();
    form->Exit2->trigger();
    EXPECT_TRUE(application.Terminated());
    EXPECT_FALSE(form->isVisible());

    form.reset();
    framework::TApplication second(alerts);
    form = std::make_unique<TForm1>(Services(second));
    form->Exit1->trigger();
    EXPECT_TRUE(second.Terminated());
}

TEST_F(MainWindow, PropertiesShowsTheWindow)
{
    form->Properties1->trigger();
    EXPECT_TRUE(form->isVisible());
}
