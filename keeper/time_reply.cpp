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

#include <algorithm>
#include <chrono>
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

// A frame read this long after it arrived names a second that has passed meanwhile:
// setting the clock to it would put the clock behind by the wait. The clock is stepped by
// the offset found at the frame's arrival instead.
constexpr std::chrono::milliseconds kLateRead{100};

// When bytes the kernel received at `receivedAt` arrived, on the steady clock: the kernel
// gives the real-time clock's reading, whose distance from now carries over. Read in this
// order, a pause between the two readings makes the arrival later, never earlier than the
// request it answers.
std::chrono::steady_clock::time_point SteadyTimeOf(net::ReceiptTime receivedAt)
{
    const auto waited = std::max(std::chrono::system_clock::now() - receivedAt, std::chrono::nanoseconds(0));
    return std::chrono::steady_clock::now() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(waited);
}

} // namespace

void ClockKeeper::ServerSocket1ClientRead(QObject* /*Sender*/, net::TCustomWinSocket* Socket)
{
    // Up to what the connection may still send; the rest of a flood goes with the connection.
    const ReplyConnections::Received received = replyConnections.Read(*Socket);
    if (!received.text.empty())
        SplitTimeReply(received.text, SteadyTimeOf(received.receivedAt));
}

void ClockKeeper::SplitTimeReply(const std::string& Text)
{
    SplitTimeReply(Text, std::nullopt);
}

void ClockKeeper::SplitTimeReply(const std::string& Text, Arrival arrival)
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
        ApplyTimeCode(Text.substr(start + 1, close - 2), arrival, earlierInRead);
        start += close;
    }
}

void ClockKeeper::ApplyTimeCode(const std::string& Code)
{
    std::optional<ClockUpdate> alone;
    ApplyTimeCode(Code, std::nullopt, alone);
}

void ClockKeeper::ApplyTimeCode(const std::string& Code, Arrival arrival, std::optional<ClockUpdate>& earlierInRead)
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
            KeepClock(WholeSeconds(framework::StrToFloat(Copy(Code, 18, std::numeric_limits<int>::max()))), arrival,
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

bool ClockKeeper::MaySetClock(std::int64_t second, std::chrono::steady_clock::time_point arrival)
{
    if (AnswersOurRequest(arrival))
        return true;
    // Anyone may send a frame at any time; only an answer to our own request moves the clock.
    if (!requestSentAt || arrival < *requestSentAt) {
        // One line for a run of equal codes, so that a flood does not flood the log.
        if (std::exchange(lastUnaskedSecond_, second) != second)
            qCInfo(platform::lcSync, "time code for %lld with no request under way: the clock is left alone",
                   static_cast<long long>(second));
        return false;
    }
    // Held back on its way: the time it tells was the server's long ago. One line a request.
    if (std::exchange(lateReplyTold_, requestSentAt) != requestSentAt) {
        const std::chrono::duration<double> roundTrip = arrival - *requestSentAt;
        qCInfo(platform::lcSync, "reply received %.1f s after the request: the clock is left alone", roundTrip.count());
    }
    return false;
}

void ClockKeeper::KeepClock(std::int64_t second, Arrival arrival, std::optional<ClockUpdate>& earlierInRead)
{
    const auto now = std::chrono::steady_clock::now();
    if (!MaySetClock(second, arrival.value_or(now)))
        return;
    // Frames of one read that carry the same second set the clock once: a flood of them
    // must not start the helper for each.
    if (earlierInRead && earlierInRead->serverSecond == second) {
        ReportClockUpdate(*earlierInRead, pcTimeOfLastUpdate_);
        return;
    }
    // The time the status line gives is the PC's from before the clock was set.
    const std::string pcTimeBeforeSet =
        framework::FormatDateTime("hh:nn:ss ddd dd mmm yyyy", framework::EncodeDateTime(services_.clock.Now()));
    // The clock as it now reads, taken back to the frame's arrival: the time the frame waited
    // to be read, or an earlier frame's step of the clock, never counts against it.
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - arrival.value_or(now));
    ClockUpdate update{.serverSecond = second,
                       .pcTime = services_.clock.UtcNow() - waited,
                       .result = {},
                       .maxStepSeconds = settings_.maxStepSeconds};
    if (update.PcIsRight())
        update.result = {platform::ClockSetResult::Outcome::NotNeeded, {}};
    else if (update.ExceedsStepLimit())
        update.result = {platform::ClockSetResult::Outcome::OverLimit, {}};
    else if (waited < kLateRead)
        update.result = services_.clockSetter.SetClock(second);
    else
        update.result = services_.clockSetter.StepBy(-update.Offset());
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
