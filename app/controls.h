#pragma once

// The few control kinds of the main window that need more than Qt gives: a tag to count
// with, colours in the window's own colour values, a two-panel status bar, and an edit
// field that costs nothing until it shows.

#include <QFrame>
#include <QLabel>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>

class QColor;
class QLineEdit;

namespace app {

// Colour values in the 0x00BBGGRR layout; with the high bit set, the low byte names a
// system colour instead.
using TColor = std::uint32_t;

constexpr TColor kButtonFace = 0x8000000F; // system colour 15, button faces
constexpr TColor kGray = 0x808080;
constexpr TColor kBlack = 0x000000;

QColor ToQColor(TColor color);

// A timer whose Tag the window uses as a counter.
class TTimer final : public QTimer {
public:
    using QTimer::QTimer;

    int Tag = 0;

    bool Enabled() const { return isActive(); }
    // Enabling a running timer leaves its phase alone, as a menu-driven timer expects.
    void SetEnabled(bool enabled);
};

// A label with a Tag (the colon counts its blink ticks there).
class TLabel final : public QLabel {
public:
    using QLabel::QLabel;

    int Tag = 0;
};

// Static text on a coloured background: the sync-state badge.
class TStaticText final : public QLabel {
public:
    explicit TStaticText(QWidget* parent);

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    TColor FontColor() const { return fontColor_; }
    void SetFontColor(TColor color);
    std::string Caption() const { return text().toStdString(); }
    void SetCaption(const std::string& caption) { setText(QString::fromStdString(caption)); }

private:
    void ApplyColors();

    TColor color_ = kButtonFace;
    TColor fontColor_ = kBlack;
};

// A status bar of two sunken panels: the first of fixed width with centred text, the
// second taking the rest. A text too long for the second is drawn narrower, down to
// kNarrowest per cent of its width, so that a result with its offset and bound shows
// whole; only a longer one is cut, with an ellipsis. Each panel's text is whole on hover
// and for screen readers.
class TStatusBar final : public QFrame {
public:
    static constexpr int kNarrowest = 70;

    TStatusBar(QWidget* parent, int firstPanelWidth);

    std::string PanelText(int index) const;
    void SetPanelText(int index, const std::string& text);
    // What the panel is, for screen readers: they hear "NAME: TEXT".
    void SetPanelName(int index, const std::string& name);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateAccessibleName(int index);
    // Fits the second panel's text to its width. Only while shown: measuring loads the
    // font machinery, which a window hidden in the tray need not hold.
    void FitText();

    QLabel* panels_[2] = {};
    QString texts_[2];
    QString names_[2];
};

// An edit field whose line editor is made when asked for or when the field first shows,
// whichever comes first. A line editor lays its text out at once, and the first text laid
// out loads the font machinery: several MiB that a window living hidden in the tray need
// not hold. Until then the field keeps the text itself; afterwards the editor holds it,
// takes the focus for the field, and carries the field's accessible name.
class TEdit final : public QWidget {
public:
    TEdit(const QString& text, QWidget* parent);

    QString text() const;
    void setText(const QString& text);
    // The line editor, made now if it was not yet.
    QLineEdit* Editor();

    // Told of every change of the text, by the program or by typing.
    std::function<void(const QString& text)> onChange;
    // Told when the user leaves the field, by Return or by moving the focus elsewhere.
    std::function<void()> onExit;
    // Told of Return (or Enter) and of Escape in the field, before it is left.
    std::function<void()> onReturn;
    std::function<void()> onEscape;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString text_;
    QLineEdit* editor_ = nullptr;
};

} // namespace app
