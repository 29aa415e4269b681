#include "app/controls.h"

#include <QApplication>
#include <QColor>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>

#include <algorithm>
#include <utility>

namespace app {

QColor ToQColor(TColor color)
{
    if (color == kButtonFace)
        return QApplication::palette().color(QPalette::Button);
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == isActive())
        return;
    if (enabled)
        start();
    else
        stop();
}

TStaticText::TStaticText(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setAutoFillBackground(true);
    ApplyColors();
}

void TStaticText::SetColor(TColor color)
{
    color_ = color;
    ApplyColors();
}

void TStaticText::SetFontColor(TColor color)
{
    fontColor_ = color;
    ApplyColors();
}

void TStaticText::ApplyColors()
{
    QPalette colours = palette();
    colours.setColor(QPalette::Window, ToQColor(color_));
    colours.setColor(QPalette::WindowText, ToQColor(fontColor_));
    setPalette(colours);
}

TStatusBar::TStatusBar(QWidget* parent, int firstPanelWidth) : QFrame(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(2);
    for (QLabel*& panel : panels_) {
        panel = new QLabel(this);
        panel->setTextFormat(Qt::PlainText); // texts may quote what came from the network
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        layout->addWidget(panel);
    }
    panels_[0]->setFixedWidth(firstPanelWidth);
    panels_[0]->setAlignment(Qt::AlignCenter);
    layout->setStretch(1, 1);
    setAccessibleName("status bar");
}

std::string TStatusBar::PanelText(int index) const
{
    return texts_[index].toStdString();
}

void TStatusBar::SetPanelText(int index, const std::string& text)
{
    const QString newText = QString::fromStdString(text);
    if (texts_[index] == newText)
        return;
    texts_[index] = newText;
    panels_[index]->setText(newText);
    panels_[index]->setToolTip(newText); // the panel cuts the longest texts, such as a refusal's reason
    UpdateAccessibleName(index);
    if (index == 1)
        FitText();
}

void TStatusBar::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    FitText();
}

void TStatusBar::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    FitText();
}

void TStatusBar::FitText()
{
    QLabel* panel = panels_[1];
    const int room = panel->contentsRect().width() - panel->indent();
    if (!panel->isVisible() || room <= 0)
        return;
    QFont font = panel->font();
    int stretch = QFont::Unstretched;
    font.setStretch(stretch);
    const qreal width = QFontMetricsF(font).horizontalAdvance(texts_[1]);
    if (width > room)
        stretch = std::max(kNarrowest, static_cast<int>(stretch * room / width));
    // Narrowed glyphs are rounded to whole pixels: a step or two more may be needed.
    for (;; --stretch) {
        font.setStretch(stretch);
        if (stretch == kNarrowest || QFontMetricsF(font).horizontalAdvance(texts_[1]) <= room)
            break;
    }
    panel->setFont(font);
    panel->setText(QFontMetrics(font).elidedText(texts_[1], Qt::ElideRight, room));
}

void TStatusBar::SetPanelName(int index, const std::string& name)
{
    names_[index] = QString::fromStdString(name);
    UpdateAccessibleName(index);
}

void TStatusBar::UpdateAccessibleName(int index)
{
    const QString& text = texts_[index];
    panels_[index]->setAccessibleName(text.isEmpty() ? names_[index] : names_[index] + ": " + text);
}

TEdit::TEdit(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {}

QString TEdit::text() const
{
    return editor_ ? editor_->text() : text_;
}

void TEdit::setText(const QString& text)
{
    if (editor_) {
        editor_->setText(text); // tells of the change itself
    } else if (text != text_) {
        text_ = text;
        if (onChange)
            onChange(text_);
    }
}

QLineEdit* TEdit::Editor()
{
    if (editor_)
        return editor_;
    editor_ = new QLineEdit(std::exchange(text_, {}), this);
    QObject::connect(editor_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (onChange)
            onChange(text);
    });
    QObject::connect(editor_, &QLineEdit::returnPressed, this, [this] {
        if (onReturn)
            onReturn();
    });
    QObject::connect(editor_, &QLineEdit::editingFinished, this, [this] {
        if (onExit)
            onExit();
    });
    editor_->installEventFilter(this); // Escape: a line editor lets it pass to the window
    editor_->setAccessibleName(accessibleName());
    setAccessibleName({}); // one name, on what a screen reader lands on
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(editor_);
    setFocusProxy(editor_);
    return editor_;
}

bool TEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == editor_ && event->type() == QEvent::KeyPress && onEscape
        && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        onEscape();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TEdit::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Editor()->show();
}

} // namespace app
