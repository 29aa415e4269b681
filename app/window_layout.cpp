// The window as the program's users know it: fixed 260 x 135 client area, a grey-green
// display panel with the digital read-out, the hidden settings panel under it, the
// badge, the status bar and the two menus.

#include "app/images.h"
#include "app/main_form.h"
#include "app/readout_accessible.h"
#include "framework/application.h"

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QVBoxLayout>

#include <utility>

namespace app {
namespace {

constexpr TColor kDisplayColor = 11516835; // grey-green, like a liquid-crystal display
constexpr const char* kReadoutFont = "Digital Readout Thick Upright";

// The fonts the window was drawn for are rarely installed here: the read-out falls back
// to the seven-segment DSEG7, the others to the desktop's sans-serif.
void InstallFontSubstitutes()
{
    QFont::insertSubstitutions(kReadoutFont, {"DSEG7 Classic", "DSEG7 Modern"});
    QFont::insertSubstitution("MS Sans Serif", "Sans Serif");
    QFont::insertSubstitution("Tahoma", "Sans Serif");
}

QFont PixelFont(const char* family, int pixels, bool bold = false)
{
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// The stand-in for the read-out font has other proportions than the font the window was
// drawn for, whose "88" fills about four fifths of the hour label's height. The stand-in
// is scaled to do the same, and every read-out label keeps its size relative to the hours.
qreal ReadoutScale()
{
    QFont font(kReadoutFont);
    if (QFontInfo(font).family() == kReadoutFont)
        return 1.0;
    font.setPixelSize(96);
    const qreal inkHeight = QFontMetricsF(font).tightBoundingRect("88").height();
    return inkHeight > 0 ? 0.8 * 85 / inkHeight : 1.0;
}

// Narrows the label's font where its widest text would overflow the label.
void NarrowToFit(QLabel* label, const QString& widestText, int width)
{
    QFont font = label->font();
    const qreal inkWidth = QFontMetricsF(font).horizontalAdvance(widestText);
    if (inkWidth > width) {
        font.setStretch(static_cast<int>(100 * width / inkWidth));
        label->setFont(font);
    }
}

void Paint(QWidget* widget, QPalette::ColorRole role, TColor color)
{
    QPalette colours = widget->palette();
    colours.setColor(role, ToQColor(color));
    widget->setPalette(colours);
}

QFrame* MakePanel(QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setAutoFillBackground(true);
    Paint(panel, QPalette::Window, kDisplayColor);
    return panel;
}

TLabel* MakeReadout(QWidget* parent, const char* text, int pixels, QRect place, bool bold = false)
{
    auto* label = new TLabel(text, parent);
    label->setFont(PixelFont(kReadoutFont, pixels, bold));
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(place);
    Paint(label, QPalette::WindowText, kBlack);
    return label;
}

QLabel* MakeHiddenImage(QWidget* parent, const QIcon& icon, QPoint place)
{
    auto* image = new QLabel(parent);
    image->setPixmap(icon.pixmap(16, 16));
    image->setGeometry(QRect(place, QSize(16, 16)));
    image->hide();
    return image;
}

} // namespace

void TForm1::CreateControls()
{
    InstallFontSubstitutes();
    setWindowTitle("Tavrin Client V2.00");
    setWindowIcon(MainIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(PixelFont("MS Sans Serif", 11));
    move(1408, 114); // counts only until the settings or the first centring replace it

    auto* client = new QWidget(this);
    client->setFixedSize(260, 135);
    setCentralWidget(client);

    Panel1 = MakePanel(client);
    Panel1->setGeometry(0, 0, 260, 116);
    Panel1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Paint(Panel1, QPalette::WindowText, kBlack);

    StatusBar1 = new TStatusBar(client, 30);
    StatusBar1->setGeometry(0, 116, 260, 19);
    StatusBar1->SetPanelName(0, "next update in");
    StatusBar1->SetPanelName(1, "status");
    StatusBar1->SetPanelText(0, "0");

    Image1 = MakeHiddenImage(Panel1, NormalTrayIcon(), {4, 4});
    Image2 = MakeHiddenImage(Panel1, ErrorTrayIcon(), {5, 20});

    // The settings panel and the clock panel share one place; the clock lies on top, and
    // the settings are hidden under it, where their field could take no keystroke unseen.
    SettingsPanel = MakePanel(Panel1);
    SettingsPanel->hide();
    ClockPanel = MakePanel(Panel1);
    DateLabel = MakeReadout(Panel1, "21 May 2008", 32, {});
    DateLabel->setFixedHeight(28);

    auto* views = new QGridLayout;
    views->addWidget(SettingsPanel, 0, 0);
    views->addWidget(ClockPanel, 0, 0);
    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->setSpacing(0);
    panelLayout->addLayout(views, 1);
    panelLayout->addWidget(DateLabel);
    ClockPanel->raise();

    Label1 = new QLabel("Tavrin Server TCP/IP:", SettingsPanel);
    Label1->setFont(PixelFont("Tahoma", 12));
    Label1->move(8, 12);
    Edit1 = new TEdit("127.0.0.1", SettingsPanel);
    Edit1->setGeometry(152, 8, 98, 21);
    Edit1->setFont(PixelFont("Tahoma", 11));
    Edit1->setToolTip("IP Address / Name");
    Edit1->setAccessibleName("Tavrin server address");
    Label1->setBuddy(Edit1);

    lblH = MakeReadout(ClockPanel, "00", 96, {6, 4, 84, 85});
    DotLabel = MakeReadout(ClockPanel, ":", 64, {92, 8, 9, 57}, true);
    lblM = MakeReadout(ClockPanel, "00", 96, {104, 4, 84, 85});
    lblS = MakeReadout(ClockPanel, "00", 48, {194, 42, 42, 43});
    ReadAsOneClock(ClockPanel, {lblH, DotLabel, lblM, lblS});
    ClockPanel->setAccessibleName("time 00:00:00");
    DateLabel->setAccessibleName("date 21 May 2008");

    tsStatus = new TStaticText(ClockPanel);
    tsStatus->setGeometry(196, 17, 59, 16);
    tsStatus->setFrameStyle(QFrame::Box | QFrame::Plain);
    tsStatus->setAlignment(Qt::AlignCenter);
    tsStatus->setFont(PixelFont("Tahoma", 11, true));
    tsStatus->setAccessibleDescription("time source and sync state of the server");
    ShowUnknownBadge();

    Timer1 = new TTimer(this);
    Timer1->setInterval(250);

    CreateMenus();
}

void TForm1::FitToFonts()
{
    if (std::exchange(fittedToFonts_, true))
        return;
    const qreal scale = ReadoutScale();
    for (TLabel* readout : {lblH, DotLabel, lblM, lblS, DateLabel}) {
        QFont font = readout->font();
        font.setPixelSize(qRound(font.pixelSize() * scale));
        readout->setFont(font);
    }
    NarrowToFit(DateLabel, "Wed 28 May 2008", 254);
    for (TLabel* digits : {lblH, lblM, lblS})
        NarrowToFit(digits, "88", digits->width());
    Label1->adjustSize();
    Edit1->Editor(); // so that screen readers find the hidden field from the first show on
    // The menu bar sits above the fixed client area.
    setFixedSize(260, menuBar()->sizeHint().height() + 135);
}

void TForm1::setVisible(bool visible)
{
    if (visible)
        FitToFonts();
    QMainWindow::setVisible(visible);
}

void TForm1::CreateMenus()
{
    System1 = menuBar()->addMenu("&System");
    SaveSettings1 = System1->addAction("&Settings");
    SaveSettings1->setCheckable(true);
    Chimes1 = System1->addAction("Hour &Alarm");
    Chimes1->setCheckable(true);
    N2 = System1->addSeparator();
    Exit2 = System1->addAction("E&xit");

    Update1 = menuBar()->addMenu("&Update");
    Force1 = Update1->addAction("&Force Now!");

    PopupMenu1 = new QMenu(this);
    Properties1 = PopupMenu1->addAction("&Properties");
    QFont bold = Properties1->font();
    bold.setBold(true);
    Properties1->setFont(bold);
    PopupMenu1->setDefaultAction(Properties1);
    UpdateNow1 = PopupMenu1->addAction("&Update now");
    N1 = PopupMenu1->addSeparator();
    Exit1 = PopupMenu1->addAction("E&xit");

    // F10 opens the menu bar, as on the other desktops.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, this,
            framework::Guarded([this] { menuBar()->setActiveAction(System1->menuAction()); }));
}

} // namespace app
