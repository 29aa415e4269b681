#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// What became of one wish to set the clock. The setters give Set, DryRun, Refused,
// HelperMissing, HelperFailed and OutOfRange; NotNeeded and OverLimit are the caller's own
// verdicts, reported the same way.
struct [[nodiscard]] ClockSetResult {
    enum class Outcome {
        Set,           // the clock now reads the second asked for
        NotNeeded,     // it already read that second, so it was left alone
        DryRun,        // --dry-run: printed, never set
        Refused,       // the system said no; `reason` says why ("no permission")
        HelperMissing, // tavrin-set-clock is not installed where it is looked for
        HelperFailed,  // it could not be run, hung, crashed or gave an unknown status; `reason`
        OutOfRange,    // before this program's build date or after 2200-01-01
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

// Sets the PC's clock and says what came of it.
class ClockSetter {
public:
    virtual ~ClockSetter() = default;

    // Sets the system clock to the second `secondsSince1970` (UTC), with 0 milliseconds.
    virtual ClockSetResult SetClock(std::int64_t secondsSince1970) = 0;
};

// The real clock. A desktop program should not hold the right to set it, so unless this
// process already has CAP_SYS_TIME in its effective set, the helper program
// tavrin-set-clock, the only part given that right, sets it instead. Either way a second
// outside IsSettableSecond is refused before anything runs.
class SystemClockSetter final : public ClockSetter {
public:
    // How long the helper may take before it is killed; it needs about a millisecond.
    static constexpr std::chrono::milliseconds kHelperPatience{1000};

    explicit SystemClockSetter(std::string helper = DefaultHelper(),
                               std::chrono::milliseconds helperPatience = kHelperPatience);

    ClockSetResult SetClock(std::int64_t secondsSince1970) override;

    // Sets the clock through the helper even where this process could do it itself.
    ClockSetResult SetClockThroughHelper(std::int64_t secondsSince1970) const;

    // tavrin-set-clock beside this program's own executable when it is there; otherwise
    // the bare name, to be looked up on PATH.
    static std::string DefaultHelper();

private:
    std::string helper_;
    std::chrono::milliseconds helperPatience_;
};

// For --dry-run: never touches the clock, and prints each time it would have set as one
// line: "dry run: clock not set to 2008-05-21 12:00:00 UTC (1211371200)".
class DryRunClockSetter final : public ClockSetter {
public:
    explicit DryRunClockSetter(std::FILE* out = stdout) : out_(out) {}

    ClockSetResult SetClock(std::int64_t secondsSince1970) override;

private:
    std::FILE* out_;
};

} // namespace platform
