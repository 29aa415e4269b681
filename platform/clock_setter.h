#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Sets the PC's clock. A refusal is not reported: the clock simply stays as it was.
class ClockSetter {
public:
    virtual ~ClockSetter() = default;

    // Sets the system clock to the second `secondsSince1970` (UTC), with 0 milliseconds.
    virtual void SetClock(std::int64_t secondsSince1970) = 0;
};

// The real clock. A desktop program should not hold the right to set it, so unless this
// process already has CAP_SYS_TIME in its effective set, the helper program
// tavrin-set-clock, the only part given that right, sets it instead.
class SystemClockSetter final : public ClockSetter {
public:
    explicit SystemClockSetter(std::string helper = DefaultHelper());

    void SetClock(std::int64_t secondsSince1970) override;

    // tavrin-set-clock beside this program's own executable when it is there; otherwise
    // the bare name, to be looked up on PATH.
    static std::string DefaultHelper();

private:
    std::string helper_;
};

// For --dry-run: never touches the clock, and prints each time it would have set as one
// line: "dry run: clock not set to 2008-05-21 12:00:00 UTC (1211371200)".
class DryRunClockSetter final : public ClockSetter {
public:
    explicit DryRunClockSetter(std::FILE* out = stdout) : out_(out) {}

    void SetClock(std::int64_t secondsSince1970) override;

private:
    std::FILE* out_;
};

} // namespace platform
