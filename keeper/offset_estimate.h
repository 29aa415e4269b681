#pragma once

// The PC clock's offset from the time server (the PC's time minus the server's), estimated
// from replies that carry whole seconds, and what to do about it.
//
// A request sent at PC time t0 whose reply, received at t2, carries the server's second S
// puts the offset in (t0 - S - 1 s, t2 - S]: at some moment of the flight the server's clock
// read from S to just under S + 1 s. A frame that came with no request under way gives the
// upper end alone. Each end is kept, moved with every correction made to the PC clock since
// and widened by kDriftAllowancePpm of its age, as the two clocks may run apart; the estimate
// is the middle of what the kept ends leave open and its error bound half that width. Every
// end widens at the same rate, so the tightest lower and upper ends stay the tightest: those
// two are all that is kept. A reply that leaves nothing open (the server jumped, or the
// clocks ran apart faster than allowed) starts the estimate again from itself alone.
//
// Requests timed by SendMoment have the server's second turn in the middle of their flight:
// whichever second the reply carries then cuts the open range about in half, so that a few
// replies narrow it to about the round trip.
//
// Arithmetic only, in 64-bit nanoseconds: nothing here reads a clock or sets one. Any thread;
// an estimator is not shared between threads.

#include <chrono>
#include <cstdint>
#include <optional>

namespace keeper {

// A reading of the PC's clock: UTC nanoseconds since 1970.
using PcTime = std::chrono::sys_time<std::chrono::nanoseconds>;
// A reading of the monotonic clock, which no correction moves: what ages are measured on.
using MonotonicTime = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;

// How far apart the PC's clock and the server's may run, in parts per million of the time
// between two replies: a PC's crystal is good to some tens of ppm.
inline constexpr std::int64_t kDriftAllowancePpm = 100;
// How far apart they may run during one flight: the drift allowance with a slew under way
// besides (the kernel slews at 500 ppm), rounded up. On a LAN it comes to nanoseconds.
inline constexpr std::int64_t kFlightAllowancePpm = 1000;
// An estimate at least this far off is stepped; a smaller one is slewed away.
inline constexpr std::chrono::milliseconds kStepThreshold{400};

// One frame of the server's.
struct Exchange {
    std::optional<PcTime> sent;      // t0: when its request went out; none for a frame that came unasked
    PcTime received;                 // t2: the kernel's receive timestamp
    std::chrono::sys_seconds second; // S: the whole second it carries
};

struct Estimate {
    std::chrono::nanoseconds offset;     // the PC's time minus the server's
    std::chrono::nanoseconds errorBound; // the true offset lies within offset +/- errorBound
};

class OffsetEstimator {
public:
    enum class Outcome {
        Kept,         // the frame's bounds agree with those kept, and narrow them where they are tighter
        StartedAgain, // they contradict those kept: the estimate starts again from this frame alone
        Ignored,      // the frame was received before it was asked for, its second lies outside
                      // what PcTime holds (before 1970, or in 2262 or later), or the PC's clock
                      // and that second are some 146 years or more apart: nothing changes
    };

    // Takes a frame. `now` is the monotonic clock read with its receive timestamp. An
    // exchange whose flight held a step of the PC clock says nothing: leave it out.
    [[nodiscard]] Outcome Add(const Exchange& exchange, MonotonicTime now);
    // The PC clock was moved by `pcMovedBy` (+1 s: it now reads a second later): a step, or
    // the part of a slew applied since the last report. Call it as soon as it is known, and
    // before the next Add.
    void Corrected(std::chrono::nanoseconds pcMovedBy);
    // The estimate at `now`, the kept ends widened by their age; none while nothing bounds the
    // offset from below (only a reply to a request does).
    std::optional<Estimate> At(MonotonicTime now) const;

private:
    struct End {
        std::chrono::nanoseconds offset;
        MonotonicTime since;
    };

    // The kept ends widened by their age at `now`; only while they are kept.
    std::chrono::nanoseconds LowerAt(MonotonicTime now) const;
    std::chrono::nanoseconds UpperAt(MonotonicTime now) const;

    std::optional<End> lower_; // the offset is at least this, when it was learnt
    std::optional<End> upper_; // the offset is at most this
};

// When to send the request nominally due at `nominal`: at or after it and less than a second
// later, so that the server's second turns (PC time - offset whole) half `lastRoundTrip` after
// the send. Without an estimate, `nominal` itself.
PcTime SendMoment(PcTime nominal, const std::optional<Estimate>& estimate, std::chrono::nanoseconds lastRoundTrip);

struct Correction {
    enum class Kind {
        None, // the error bound holds zero offset: nothing is known to be wrong
        Step, // set the clock: move it by `amount` at once
        Slew, // move it by `amount` gradually
    };
    Kind kind = Kind::None;
    std::chrono::nanoseconds amount{}; // how far to move the PC clock: minus the estimate
};

// What to do about `estimate`, given `slewPending`, what a slew under way will still move
// the clock by (+: later). Judged by where the clock will stand once that slew is done:
// nothing while the error bound holds zero there, a step from kStepThreshold on, a slew
// below it. Either one moves the clock by minus the estimate in all, in place of the slew
// under way (a step cancels it first). The caller applies it and reports each part
// applied through OffsetEstimator::Corrected.
Correction DecideCorrection(const Estimate& estimate, std::chrono::nanoseconds slewPending = {});

} // namespace keeper
