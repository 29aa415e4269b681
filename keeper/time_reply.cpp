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
    const std::string peer = replyConnections.PeerOf(Socket); // forgotten once it is closed
    // Up to what the connection may still send; the rest of a flood goes with the connection.
    const ReplyConnections::Received received = replyConnections.Read(*Socket);
    if (!received.junk.empty())
        RefuseReply(peer, QtWarningMsg, "it sent \"" + received.junk + "\" where a time reply frame should start");
    else if (!received.text.empty())
        SplitTimeReply(received.text, SteadyTimeOf(received.receivedAt));
}

void ClockKeeper::SplitTimeReply(const std::string& Text, Arrival arrival)
{
    // A read with anything but frames in it is none of the server's: nothing of it is applied.
    ReplyFrames reader;
    const ReplyFrames::Taken taken = reader.Take(Text);
    if (!taken.junk.empty())
        return;
    std::optional<ClockUpdate> earlierInRead;
    for (std::size_t start = 0; start < taken.frames.size();) {
        const std::size_t end = taken.frames.find('}', start);
        ApplyTimeCode(taken.frames.substr(start + 1, end - start - 1), arrival, earlierInRead); // without "{" and "}"
        start = end + 1;
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
    if (!Code.starts_with("TAVRIN_")) {
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
    // The later frames of a read that corrected the clock arrived before the correction:
    // they say nothing of the clock as it is now, and a flood of them must not start the
    // helper for each.
    if (earlierInRead && earlierInRead->correction.kind != Correction::Kind::None) {
        ReportClockUpdate(*earlierInRead, pcTimeOfLastUpdate_);
        return;
    }
    // The time the status line gives is the PC's from before the clock was set.
    const std::string pcTimeBeforeSet =
        framework::FormatDateTime("hh:nn:ss ddd dd mmm yyyy", framework::EncodeDateTime(services_.clock.Now()));
    // The clock as it now reads, taken back to the frame's arrival: the time the frame waited
    // to be read never counts against it.
    const auto waited = now - arrival.value_or(now);
    ClockUpdate update;
    update.serverSecond = second;
    update.pcTime = services_.clock.UtcNow() - waited;
    update.maxStepSeconds = settings_.maxStepSeconds;

    NoteSlewApplied();
    // The reply's flight on the steady clock, from the PC's reading at the request: the same
    // as the PC's reading at the arrival, unless somebody stepped the clock meanwhile.
    const platform::UtcTime received =
        requestSentPc && requestSentAt ? *requestSentPc + (arrival.value_or(now) - *requestSentAt) : update.pcTime;
    update.pcTime = received;
    const Exchange exchange{
        .sent = requestSentPc, .received = received, .second = std::chrono::sys_seconds(std::chrono::seconds(second))};
    const auto arrivedAt = std::chrono::time_point_cast<std::chrono::nanoseconds>(arrival.value_or(now));
    switch (estimator_.Add(exchange, arrivedAt)) {
    case OffsetEstimator::Outcome::Kept:
        restartTold_ = false;
        break;
    case OffsetEstimator::Outcome::StartedAgain:
        if (!std::exchange(restartTold_, true))
            qCWarning(platform::lcSync,
                      "the server's time disagrees with every earlier reply (it jumped, or this PC's "
                      "clock drifted faster than %lld ppm): the estimate starts again",
                      static_cast<long long>(kDriftAllowancePpm));
        break;
    case OffsetEstimator::Outcome::Ignored: // a second beyond what the clock may be set to
        update.result = {platform::ClockSetResult::Outcome::OutOfRange, {}};
        break;
    }
    if (requestSentPc)
        lastRoundTrip_ = received - *requestSentPc;
    if (const std::optional<Estimate> estimate =
            estimator_.At(std::chrono::time_point_cast<std::chrono::nanoseconds>(now));
        estimate && update.result.Succeeded()) {
        update.estimate = *estimate;
        update.correction = DecideCorrection(*estimate, slewAsked_ - slewReported_);
        update.slewing = update.correction.kind == Correction::Kind::None && slewAsked_ != slewReported_;
        update.result = Correct(update);
    }
    earlierInRead = update;

    RecordClockUpdate(update);
    pcTimeOfLastUpdate_ = pcTimeBeforeSet;
    ReportClockUpdate(update, pcTimeBeforeSet);
}

platform::ClockSetResult ClockKeeper::Correct(const ClockUpdate& update)
{
    using Outcome = platform::ClockSetResult::Outcome;
    switch (update.correction.kind) {
    case Correction::Kind::None: // a slew under way goes on: it is part of the plan
        return {Outcome::NotNeeded, {}};
    case Correction::Kind::Step: {
        if (update.ExceedsStepLimit())
            return {Outcome::OverLimit, {}};
        CancelSlew(); // the kernel would go on with it after the step
        platform::ClockSetResult stepped = services_.clockSetter.StepBy(update.correction.amount);
        if (stepped.outcome == Outcome::Set) {
            estimator_.Corrected(update.correction.amount);
            // Later replies to the same request are then measured by the clock as it now reads.
            if (requestSentPc)
                *requestSentPc += update.correction.amount;
        }
        return stepped;
    }
    case Correction::Kind::Slew: {
        // A new slew replaces what is left of the last: the estimate has its part already.
        platform::ClockSetResult slewing = services_.clockSetter.SlewBy(update.correction.amount);
        if (slewing.outcome == Outcome::Set) {
            slewAsked_ = update.correction.amount;
            slewReported_ = std::chrono::nanoseconds(0);
        }
        return slewing;
    }
    }
    return {Outcome::NotNeeded, {}};
}

void ClockKeeper::NoteSlewApplied()
{
    if (slewAsked_ == std::chrono::nanoseconds(0))
        return;
    const std::optional<std::chrono::microseconds> left = services_.clockSetter.SlewLeft();
    if (!left)
        return; // cannot be told now: the next exchange asks again
    const std::chrono::nanoseconds applied = slewAsked_ - *left;
    estimator_.Corrected(applied - slewReported_);
    slewReported_ = applied;
    if (*left == std::chrono::microseconds(0))
        slewAsked_ = slewReported_ = std::chrono::nanoseconds(0);
}

void ClockKeeper::CancelSlew()
{
    if (slewAsked_ == slewReported_)
        return; // none under way
    if (services_.clockSetter.SlewBy(std::chrono::nanoseconds(0)).outcome == platform::ClockSetResult::Outcome::Set)
        slewAsked_ = slewReported_ = std::chrono::nanoseconds(0);
}

void ClockKeeper::RefreshEstimate()
{
    if (!lastGoodUpdate_ || state_.failing)
        return;
    const std::optional<Estimate> estimate =
        estimator_.At(std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now()));
    if (!estimate)
        return;
    // Widened by its age only: what was done about it stays as it was.
    ClockUpdate aged = *lastGoodUpdate_;
    aged.estimate = *estimate;
    state_.errorBound = estimate->errorBound;
    const std::string tip = ClockTipLine(aged, lastUpdateLocal_);
    if (tip != state_.lastResult)
        ReportResult(tip, false);
}

void ClockKeeper::RecordClockUpdate(const ClockUpdate& update)
{
    using Outcome = platform::ClockSetResult::Outcome;
    const ClockUpdateContext context{settings_.server.Text(), FTimeSource, FSyncState};
    const std::string line = ClockLogLine(update, context);
    const auto micros = [](std::chrono::nanoseconds value) {
        return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(value).count());
    };
    std::vector<platform::LogField> fields = {{platform::kFieldOffsetUsec, micros(update.estimate.offset)},
                                              {platform::kFieldErrorBoundUsec, micros(update.estimate.errorBound)},
                                              {platform::kFieldServer, context.server},
                                              {platform::kFieldSource, std::to_string(context.source)},
                                              {platform::kFieldState, std::to_string(context.state)}};
    if (!update.result.Succeeded()) {
        fields.push_back({platform::kFieldReason, update.result.reason});
        platform::LogEvent(platform::lcSync, QtWarningMsg, platform::kClockNotSet, fields, line);
        ++state_.clockNotSet;
    } else if (update.result.outcome != Outcome::Set) {
        // Right, or a dry run: nothing moved.
        if (update.result.outcome == Outcome::DryRun)
            qCInfo(platform::lcSync).noquote() << QString::fromStdString(line);
        else
            qCDebug(platform::lcSync).noquote() << QString::fromStdString(line);
    } else if (update.correction.kind == Correction::Kind::Step) {
        platform::LogEvent(platform::lcSync, QtInfoMsg, platform::kClockStepped, fields, line);
        ++state_.steps;
    } else {
        platform::LogEvent(platform::lcSync, QtInfoMsg, platform::kClockSlewed, fields, line);
        ++state_.slews;
    }
    if (update.result.Succeeded()) {
        lastGoodUpdate_ = update;
        lastUpdateLocal_ = services_.clock.Now();
        state_.lastUpdate = std::chrono::system_clock::now();
        state_.offset = update.estimate.offset;
        state_.errorBound = update.estimate.errorBound;
        MarkKernelSynchronised(update.estimate.errorBound);
    }
    Changed();
}

void ClockKeeper::MarkKernelSynchronised(std::chrono::nanoseconds errorBound)
{
    // The kernel's figures are whole microseconds; the bound is rounded up so that it still holds.
    const auto bound = std::max(std::chrono::ceil<std::chrono::microseconds>(errorBound), std::chrono::microseconds(1));
    const platform::ClockSetResult marked = services_.clockSetter.MarkSynchronised(bound, bound);
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
