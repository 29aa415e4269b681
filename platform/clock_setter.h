#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace setclock {
struct Request;
}

namespace platform {

// What became of one wish to set, step, slew or mark the clock. The setters give Set, DryRun, Refused,
// HelperMissing, HelperFailed and OutOfRange; NotNeeded and OverLimit are the caller's own
// verdicts, reported the same way.
struct [[nodiscard]] ClockSetResult {
    enum class Outcome {
        Set,           // the clock now reads the second asked for, or was stepped, slewed or marked
        NotNeeded,     // it already read that second, so it was left alone
        DryRun,        // --dry-run: printed, never set
        Refused,       // the system said no; `reason` says why ("no permission")
        HelperMissing, // tavrin-set-clock is not installed where it is looked for
        HelperFailed,  // it could not be run, hung, crashed or gave an unknown status; `reason`
        OutOfRange,    // before this program's build date or after 2200-01-01, or beyond a bound of clock_range.h
        OverLimit,     // further from the PC's own time than the step limit allows
    };

    Outcome outcome = Outcome::Set;
    std::string reason;

    // The clock reads the server's second, or would in a dry run.
    bool Succeeded() const
    {
        return outcome == Outcome::Set || outcome == Outcome::NotNeeded || outcome == Outcome::DryRun;
    }
};

// Sets, steps and slews the PC's clock, tells the kernel it is synchronised, and says what
// came of it. Called on the main thread.
class ClockSetter {
public:
    virtual ~ClockSetter() = default;

    // Sets the system clock to the second `secondsSince1970` (UTC), with 0 milliseconds.
    virtual ClockSetResult SetClock(std::int64_t secondsSince1970) = 0;

    // Moves the clock by `offset` in one step, to the nanosecond. OutOfRange when the second
    // it would then read is not settable.
    virtual ClockSetResult StepBy(std::chrono::nanoseconds offset) = 0;

    // Starts moving the clock by `offset`, rounded to the microsecond, gradually (500 µs a
    // second), in place of any slew under way. OutOfRange beyond kLongestSlew.
    virtual ClockSetResult SlewBy(std::chrono::nanoseconds offset) = 0;

    // What of the last slew is still to be worked in, so that the caller can tell how much
    // of it was; nothing when it cannot be read.
    virtual std::optional<std::chrono::microseconds> SlewLeft() = 0;

    // Tells the kernel the clock is synchronised, off by at most `maxError` and by about
    // `estError`, as an NTP service does. OutOfRange unless 0 <= estError <= maxError <=
    // kLargestClockError.
    virtual ClockSetResult MarkSynchronised(std::chrono::microseconds maxError, std::chrono::microseconds estError) = 0;

    // Whether this process may change the clock at all, asked before it takes on keeping
    // it: nothing is changed or run to find out.
    virtual bool MaySetClock() = 0;
};

// The real clock. A desktop program should not hold the right to set it, so unless this
// process already has CAP_SYS_TIME in its effective set, the helper program
// tavrin-set-clock, the only part given that right, sets, steps, slews and marks it
// instead. Either way a change outside the bounds of clock_range.h is refused before
// anything runs. SlewLeft needs no right, so it is always read here.
class SystemClockSetter final : public ClockSetter {
public:
    // How long the helper may take before it is killed; it needs about a millisecond.
    static constexpr std::chrono::milliseconds kHelperPatience{1000};

    explicit SystemClockSetter(std::string helper = DefaultHelper(),
                               std::chrono::milliseconds helperPatience = kHelperPatience);

    ClockSetResult SetClock(std::int64_t secondsSince1970) override;
    ClockSetResult StepBy(std::chrono::nanoseconds offset) override;
    ClockSetResult SlewBy(std::chrono::nanoseconds offset) override;
    std::optional<std::chrono::microseconds> SlewLeft() override;
    ClockSetResult MarkSynchronised(std::chrono::microseconds maxError, std::chrono::microseconds estError) override;
    // It holds CAP_SYS_TIME, or this user may run the helper (execute permission, which the
    // package gives the group tavrin-time alone); the helper's own capability is the
    // package's to set, and is not looked at.
    bool MaySetClock() override;

    // Each through the helper, even where this process could do it itself.
    ClockSetResult SetClockThroughHelper(std::int64_t secondsSince1970) const;
    ClockSetResult StepByThroughHelper(std::chrono::nanoseconds offset) const;
    ClockSetResult SlewByThroughHelper(std::chrono::nanoseconds offset) const;
    ClockSetResult MarkSynchronisedThroughHelper(std::chrono::microseconds maxError,
                                                 std::chrono::microseconds estError) const;

    // tavrin-set-clock beside this program's own executable when it is there; otherwise
    // the bare name, to be looked up on PATH.
    static std::string DefaultHelper();

private:
    // The request done here when this process holds the right, else by the helper.
    ClockSetResult Apply(const setclock::Request& request);
    ClockSetResult ThroughHelper(const setclock::Request& request) const;

    std::string helper_;
    std::chrono::milliseconds helperPatience_;
};

// For --dry-run: never touches the clock, and prints each change it would have made as one
// line: "dry run: clock not set to 2008-05-21 12:00:00 UTC (1211371200)", "dry run: clock
// not stepped by +0.250 s", "dry run: clock not slewed by -0.012 s", "dry run: kernel not
// told the clock is synchronised (maximum error 20000 us, estimated 1500 us)". No slew is
// ever left. It may set the clock where the real one may, so that a dry run stands where a
// real run would.
class DryRunClockSetter final : public ClockSetter {
public:
    explicit DryRunClockSetter(std::FILE* out = stdout) : out_(out) {}

    ClockSetResult SetClock(std::int64_t secondsSince1970) override;
    ClockSetResult StepBy(std::chrono::nanoseconds offset) override;
    ClockSetResult SlewBy(std::chrono::nanoseconds offset) override;
    std::optional<std::chrono::microseconds> SlewLeft() override;
    ClockSetResult MarkSynchronised(std::chrono::microseconds maxError, std::chrono::microseconds estError) override;
    bool MaySetClock() override;

private:
    // The compiler checks each caller's arguments against its format.
    [[gnu::format(printf, 2, 3)]] ClockSetResult Printed(const char* format, ...);

    std::FILE* out_;
};

} // namespace platform
