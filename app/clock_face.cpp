// The main tick: the read-out, the blinking colon, the date, the hour alarm and the
// countdown to the keeper's next time request.

#include "app/main_form.h"

#include "framework/number_format.h"
#include "platform/local_clock.h"
#include "platform/sound_player.h"

namespace app {
namespace {

// Labels are written only when their text changes: most ticks change nothing.
void SetTextIfChanged(QLabel* label, const std::string& text)
{
    const QString newText = QString::fromStdString(text);
    if (label->text() != newText)
        label->setText(newText);
}

bool SameSecond(const platform::CivilTime& a, const platform::CivilTime& b)
{
    return a.second == b.second && a.minute == b.minute && a.hour == b.hour && a.day == b.day && a.month == b.month
        && a.year == b.year;
}

// Screen readers are told of a new name each time: only real changes are worth it.
void SetAccessibleNameIfChanged(QWidget* widget, const QString& name)
{
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
}

} // namespace

void TForm1::Timer1Timer(QObject* /*Sender*/)
{
    // The colon shows for two ticks and hides for three, whatever the seconds do.
    DotLabel->Tag += 1;
    DotLabel->setVisible(DotLabel->Tag <= 2);
    if (DotLabel->Tag >= 5)
        DotLabel->Tag = 0;

    const platform::CivilTime now = services_.clock.Now();
    FCurrentTime = framework::EncodeDateTime(now);
    // The read-out, the date and what screen readers hear change once a second: the other
    // ticks of it leave them be.
    if (!shownSecond_ || !SameSecond(*shownSecond_, now)) {
        shownSecond_ = now;
        SetTextIfChanged(lblH, framework::FormatDateTime("hh", FCurrentTime));
        SetTextIfChanged(lblM, framework::FormatDateTime("nn", FCurrentTime));
        SetTextIfChanged(lblS, framework::FormatDateTime("ss", FCurrentTime));
        SetTextIfChanged(DateLabel, framework::FormatDateTime("ddd dd mmm yyyy", FCurrentTime));
        SetAccessibleNameIfChanged(ClockPanel, "time " + lblH->text() + ":" + lblM->text() + ":" + lblS->text());
        SetAccessibleNameIfChanged(DateLabel, "date " + DateLabel->text());
    }

    // One sound per minute 00: the latch opens only at a tick that sees another minute.
    if (Chimes1->isChecked()) {
        if (lblM->text() != QLatin1String("00")) {
            FChimeDone = false;
        } else if (!FChimeDone) {
            FChimeDone = true;
            services_.sound.PlayAsync("hour.wav");
        }
    }

    // Whole seconds: the countdown's text changes at every fourth tick.
    if (const int seconds = SecondsToNextRequest(); seconds != shownCountdown_) {
        shownCountdown_ = seconds;
        StatusBar1->SetPanelText(0, framework::FormatNumber("0s", seconds));
    }
}

int TForm1::SecondsToNextRequest() const
{
    if (!serviceShown_)
        return clockKeeper ? clockKeeper->SecondsToNextFetch() : 0;
    const std::uint64_t next = serviceView->Status().nextUpdateUsec;
    if (next == 0)
        return 0; // none planned
    const auto left =
        std::chrono::microseconds(static_cast<std::int64_t>(next)) - services_.clock.UtcNow().time_since_epoch();
    return static_cast<int>(std::max(std::chrono::floor<std::chrono::seconds>(left).count(), std::int64_t{0}));
}

void TForm1::BitBtn1Click(QObject* /*Sender*/)
{
    if (serviceShown_)
        UpdateService();
    else
        clockKeeper->BitBtn1Click(Force1);
}

void TForm1::ShowStatus(const std::string& text)
{
    StatusBar1->SetPanelText(1, text);
}

void TForm1::TimeCodeTaken()
{
    Timer1Timer(Timer1);
}

} // namespace app
