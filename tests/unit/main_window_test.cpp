#include "tests/support/event_loop.h"
#include "tests/support/form_fixture.h"

#include <QAction>
#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>

#include <gtest/gtest.h>

using app::TForm1;
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

} // namespace

class MainWindow : public FormTest {};

TEST_F(MainWindow, StartsHiddenAndShowsWithAFixedSizeAndItsIcon)
{
    EXPECT_FALSE(form->isVisible());
    form->ShowWindow();
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->centralWidget()->size(), QSize(260, 135));
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());
}

TEST_F(MainWindow, ClockViewLiesOverTheHiddenSettingsAndImagesStayHidden)
{
    form->show();
    EXPECT_TRUE(form->ClockPanel->isVisible());
    EXPECT_FALSE(form->SettingsPanel->isVisible());
    // The later sibling is drawn on top.
    const QObjectList& siblings = form->Panel1->children();
    EXPECT_GT(siblings.indexOf(form->ClockPanel), siblings.indexOf(form->SettingsPanel));
    EXPECT_TRUE(form->DateLabel->isVisible());
    EXPECT_FALSE(form->Image1->isVisible());
    EXPECT_FALSE(form->Image2->isVisible());
    EXPECT_FALSE(form->Image1->pixmap().isNull());
    EXPECT_FALSE(form->Image2->pixmap().isNull());
}

TEST_F(MainWindow, KeystrokesWhileTheClockShowsNeverReachTheAddress)
{
    form->ShowWindow();
    QApplication::setActiveWindow(form.get());
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &tab); // looks for something to type into
    Type(form.get(), "10.9.9.9");
    EXPECT_EQ(form->Edit1->text(), "127.0.0.1");
    EXPECT_NE(QApplication::focusWidget(), form->Edit1->Editor());

    form->SaveSettings1->trigger(); // "Settings": the field shows and takes the keys
    EXPECT_EQ(QApplication::focusWidget(), form->Edit1->Editor());
    form->Edit1->Editor()->selectAll();
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
    EXPECT_TRUE(tray.present); // construction went on all the same
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

// The results panel 1 shows, up to the longest the keeper writes, are whole without
// hovering; a longer text is cut with an ellipsis, and is whole on hover.
TEST_F(MainWindow, TheStatusPanelShowsALongResultWholeAndCutsOnlyALongerOne)
{
    form->ShowWindow();
    const QLabel* panel = form->StatusBar1->findChildren<QLabel*>().at(1);
    const std::vector<std::string> texts = {
        "Last update 12:00:05: offset -252 ms \u00B1 2 ms", "Last Update: 18:24:13 Wed 28 May 2008 (dry run)",
        "Last update 12:00:05: offset -252 ms \u00B1 2 ms, slewing",
        "Last update 12:00:05: clock stepped by +3.2 s (\u00B1 2 ms)",
        "Clock not set: the server's time is 12 days away (limit 600 s) (see README)"};
    for (const std::string& text : texts) {
        form->StatusBar1->SetPanelText(1, text);
        EXPECT_LE(QFontMetricsF(panel->font()).horizontalAdvance(panel->text()),
                  panel->contentsRect().width() - panel->indent());
        EXPECT_EQ(panel->text().toStdString() == text, text != texts.back()) << text;
        EXPECT_EQ(panel->toolTip().toStdString(), text);
    }
    EXPECT_TRUE(panel->text().endsWith(QChar(0x2026))); // an ellipsis
    form->StatusBar1->SetPanelText(1, "Error connecting to server.");
    EXPECT_EQ(panel->font().stretch(), QFont::Unstretched) << "a text that fits is drawn as it is";
}
