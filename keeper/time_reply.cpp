// The server's time reply: frames of time codes that set the PC clock, keep the echo
// code for the next request and show the server's source and sync state.

#include "keeper/clock_keeper.h"

#include "framework/convert.h"
#include "framework/date_time.h"
#include "framework/exception.h"
#include "framework/text.h"
#include "keeper/synchroniser_watch.h"
#include "platform/clock_setter.h"
#include "platform/local_clock.h"
#include "platform/log.h"
#include "platform/log_event.h"
#include "platform/log_events.h"

#include <cmath>
#include <limits>
#include <utility>

namespace keeper {
namespace {

// 1970-01-01 00:00:00 to 9999-12-31 23:59:59 UTC: the seconds a time code may carry, the
// same in every time zone.
constexpr std::int64_t kFirstSecond = 0;
constexpr std::int64_t kLastSecond = 253'402'300'799;

// The whole seconds of a time value, cut toward zero, in 64 bits so that nothing wraps
// in 2038; counts outside the years 1970 to 9999 fail.
std::int64_t WholeSeconds(double value)
{
    const double whole = std::trunc(value);
    if (!(whole >= static_cast<double>(kFirstSecond) && whole <= static_cast<double>(kLastSecond)))
        throw framework::ConvertError("time value out of range");
    return static_cast<std::int64_t>(whole);
}

} // namespace

void ClockKeeper::ServerSocket1ClientRead(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    // Up to what the connection may still send; the rest of a flood goes with the connection.
    SplitTimeReply(replyConnections.Read(*Socket));
}

void ClockKeeper::SplitTimeReply(const std::string& Text)
{
    // Walks the read from frame to frame: nothing is copied or moved but the codes.
    std::optional<ClockUpdate> earlierInRead;
    std::size_t start = 0;
    while (start < Text.size()) {
        const std::size_t found = Text.find('}', start);
        // The 1-based place of the "}" within the rest of the read; a frame needs at least
        // three characters between its lead character and its "}".
        const std::size_t close = found == std::string::npos ? 0 : found - start + 1;
        if (close < 5)
            break; // no frame here: the rest of the read is dropped
        // The lead character is skipped whatever it is.
        ApplyTimeCode(Text.substr(start + 1, close - 2), earlierInRead);
        start += close;
    }
}

void ClockKeeper::ApplyTimeCode(const std::string& Code)
{
    std::optional<ClockUpdate> alone;
    ApplyTimeCode(Code, alone);
}

void ClockKeeper::ApplyTimeCode(const std::string& Code, std::optional<ClockUpdate>& earlierInRead)
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
            KeepClock(WholeSeconds(framework::StrToFloat(Copy(Code, 18, std::numeric_limits<int>::max()))),
                      earlierInRead);
            // The badge speaks of the server, whatever became of this PC's clock.
            ShowSyncBadge();
        } catch (const std::exception&) {
            ShowInvalidTimeCode();
        }
    }
    face_.TimeCodeTaken();
}

void ClockKeeper::ShowInvalidTimeCode()
{
    ShowUnknownBadge();
    face_.ShowStatus("Invalid Time Code Supplied");
}

void ClockKeeper::ShowSyncBadge()
{
    if (FTimeSource == 0)
        FSyncState = 2; // the server's own clock is its reference: always in sync
    face_.ShowSyncBadge(FTimeSource, FSyncState);
    state_.source = FTimeSource;
    state_.state = FSyncState;
    Changed();
}

void ClockKeeper::KeepClock(std::int64_t second, std::optional<ClockUpdate>& earlierInRead)
{
    // Anyone may send a frame at any time; only an answer to our own request moves the clock.
    if (!AnswersOurRequest()) {
        // One line for a run of equal codes, so that a flood does not flood the log.
        if (std::exchange(lastUnaskedSecond_, second) != second)
            qCInfo(platform::lcSync, "time code for %lld with no request under way: the clock is left alone",
                   static_cast<long long>(second));
        return;
    }
    // Frames of one read that carry the same second set the clock once: a flood of them
    // must not start the helper for each.
    if (earlierInRead && earlierInRead->serverSecond == second) {
        ReportClockUpdate(*earlierInRead, pcTimeOfLastUpdate_);
        return;
    }
    // The time the status line gives is the PC's from before the clock was set.
    const std::string pcTimeBeforeSet =
        framework::FormatDateTime("hh:nn:ss ddd dd mmm yyyy", framework::EncodeDateTime(services_.clock.Now()));
    ClockUpdate update{.serverSecond = second,
                       .pcTime = services_.clock.UtcNow(),
                       .result = {},
                       .maxStepSeconds = settings_.maxStepSeconds};
    if (update.PcIsRight())
        update.result = {platform::ClockSetResult::Outcome::NotNeeded, {}};
    else if (update.ExceedsStepLimit())
        update.result = {platform::ClockSetResult::Outcome::OverLimit, {}};
    else
        update.result = services_.clockSetter.SetClock(second);
    earlierInRead = update;

    RecordClockUpdate(update);
    pcTimeOfLastUpdate_ = pcTimeBeforeSet;
    ReportClockUpdate(update, pcTimeBeforeSet);
}

void ClockKeeper::RecordClockUpdate(const ClockUpdate& update)
{
    using Outcome = platform::ClockSetResult::Outcome;
    const ClockUpdateContext context{settings_.server.Text(), FTimeSource, FSyncState};
    const std::string line = ClockLogLine(update, context);
    const std::vector<platform::LogField> fields = {
        {platform::kFieldOffsetUsec,
         std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(update.Offset()).count())},
        {platform::kFieldServer, context.server},
        {platform::kFieldSource, std::to_string(context.source)},
        {platform::kFieldState, std::to_string(context.state)}};
    switch (update.result.outcome) {
    case Outcome::NotNeeded:
        qCDebug(platform::lcSync).noquote() << QString::fromStdString(line);
        break;
    case Outcome::Set:
        platform::LogEvent(platform::lcSync, QtInfoMsg, platform::kClockStepped, fields, line);
        ++state_.steps;
        break;
    case Outcome::DryRun:
        qCInfo(platform::lcSync).noquote() << QString::fromStdString(line);
        break;
    default: {
        std::vector<platform::LogField> withReason = fields;
        withReason.push_back({platform::kFieldReason, update.result.reason});
        platform::LogEvent(platform::lcSync, QtWarningMsg, platform::kClockNotSet, withReason, line);
        ++state_.clockNotSet;
        break;
    }
    }
    if (update.result.Succeeded()) {
        state_.lastUpdate = std::chrono::system_clock::now();
        state_.offset = update.Offset();
        state_.errorBound = kWholeSecondBound;
        MarkKernelSynchronised();
    }
    Changed();
}

void ClockKeeper::MarkKernelSynchronised()
{
    // The whole second read is all that is known: the clock lies within it, give or take
    // the frame's way.
    const auto maxError = std::chrono::duration_cast<std::chrono::microseconds>(kWholeSecondBound);
    const platform::ClockSetResult marked = services_.clockSetter.MarkSynchronised(maxError, maxError / 2);
    if (marked.outcome == platform::ClockSetResult::Outcome::Set
        || marked.outcome == platform::ClockSetResult::Outcome::DryRun) {
        if (!std::exchange(kernelMarked_, true) && synchroniserWatch_)
            synchroniserWatch_->OwnKernelMark();
    } else if (!std::exchange(kernelMarkRefusalLogged_, true)) {
        qCInfo(platform::lcSync, "the kernel is not told that the clock is kept: %s",
               marked.reason.empty() ? "no permission" : marked.reason.c_str());
    }
}

void ClockKeeper::ReportClockUpdate(const ClockUpdate& update, const std::string& pcTimeBeforeSet)
{
    const bool failed = !update.result.Succeeded();
    if (failed) {
        face_.ShowStatus(ClockNotSetPanelText(update));
    } else {
        const bool dryRun = update.result.outcome == platform::ClockSetResult::Outcome::DryRun;
        face_.ShowStatus("Last Update: " + pcTimeBeforeSet + (dryRun ? " (dry run)" : ""));
    }
    // The face is told only of a change: a flood of equal codes must not redraw it for each.
    const std::string tip = ClockTipLine(update, services_.clock.Now());
    if (tip != state_.lastResult || failed != state_.failing)
        ReportResult(tip, failed);
    else if (failed) {
        face_.ShowErrorFace(true);
    }
}

} // namespace keeper
