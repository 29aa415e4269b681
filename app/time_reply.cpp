// The server's time reply: frames of time codes that set the PC clock, keep the echo
// code for the next request and show the server's source and sync state.

#include "app/main_form.h"

#include "framework/convert.h"
#include "framework/exception.h"
#include "framework/text.h"
#include "platform/clock_setter.h"
#include "platform/local_time.h"

#include <cmath>
#include <limits>

namespace {

// The whole seconds of a time value, cut toward zero, in 64 bits so that nothing wraps
// in 2038; counts no clock can show fail.
std::int64_t WholeSeconds(double value)
{
    const double whole = std::trunc(value);
    if (!(whole >= -9.2e18 && whole <= 9.2e18))
        throw framework::EConvertError("time value out of range");
    return static_cast<std::int64_t>(whole);
}

} // namespace

void TForm1::ServerSocket1ClientRead(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    // Up to what the connection may still send; the rest of a flood goes with the connection.
    SplitTimeReply(FReplyConnections.Read(*Socket));
}

void TForm1::SplitTimeReply(const std::string& Text)
{
    std::string rest = Text;
    while (!rest.empty()) {
        const int close = framework::Pos("}", rest);
        if (close - 2 < 3)
            break; // no frame here: the rest of the read is dropped
        // The lead character is skipped whatever it is.
        ApplyTimeCode(framework::Copy(rest, 2, close - 2));
        framework::Delete(rest, 1, close);
    }
}

void TForm1::ApplyTimeCode(const std::string& Code)
{
    using framework::Copy;
    using framework::StrToInt;
    if (framework::Pos("TAVRIN_", Code) == 0) {
        ShowInvalidTimeCode();
    } else {
        // Each field is read in turn; the first that fails ends the code, and what was read
        // before it stays.
        try {
            FEchoCode = StrToInt(Copy(Code, 14, 4));
            StrToInt(Copy(Code, 10, 1)); // must be a digit; its value is not used
            FSyncState = static_cast<std::int16_t>(StrToInt(Copy(Code, 12, 1)));
            FTimeSource = static_cast<std::int16_t>(StrToInt(Copy(Code, 8, 1)));

            const std::int64_t seconds =
                WholeSeconds(framework::StrToFloat(Copy(Code, 18, std::numeric_limits<int>::max())));
            if (!platform::LocalTimeOf(seconds))
                throw framework::EConvertError("no local time for this count");
            services_.clockSetter.SetClock(seconds);
            StatusBar1->SetPanelText(1, "Last Update: " + framework::FormatDateTime("hh:nn:ss", FCurrentTime) + " "
                                            + DateLabel->text().toStdString());
            ShowSyncBadge();
        } catch (const std::exception&) {
            ShowInvalidTimeCode();
        }
    }
    Timer1Timer(Timer1); // the display follows the new time at once
}

void TForm1::ShowInvalidTimeCode()
{
    ShowUnknownBadge();
    StatusBar1->SetPanelText(1, "Invalid Time Code Supplied");
}
