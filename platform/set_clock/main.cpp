// tavrin-set-clock: sets the system clock to a whole second.
//
//   tavrin-set-clock SECONDS
//
// SECONDS counts from 1970-01-01 00:00:00 UTC, in decimal digits only, and must lie
// between the day this program was built and 2200-01-01 00:00:00 UTC. This is the one part
// of the Tavrin client that is given the right to set the clock (setcap cap_sys_time+ep),
// so it takes that one argument and nothing else. Exit status: see exit_status.h.

#include "platform/clock_range.h"
#include "platform/set_clock/exit_status.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

enum class Refusal { None, NotDecimal, OutOfRange };

Refusal CheckSeconds(std::string_view text, std::int64_t& seconds)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return Refusal::NotDecimal;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || !platform::IsSettableSecond(seconds))
        return Refusal::OutOfRange;
    return Refusal::None;
}

// The argument as it can be shown on one line of a terminal.
std::string Shown(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    std::string shown;
    for (const char c : text.substr(0, kLongest))
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > kLongest)
        shown += "...";
    return shown;
}

std::string Utc(std::int64_t seconds)
{
    const time_t time = static_cast<time_t>(seconds);
    tm utc{};
    char text[32] = "?";
    if (gmtime_r(&time, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// The allowed range, for the messages.
std::string Range()
{
    return "from " + std::to_string(platform::EarliestSettableSecond()) + " (" + Utc(platform::EarliestSettableSecond())
         + ", the day this program was built) to " + std::to_string(platform::kLatestSettableSecond) + " ("
         + Utc(platform::kLatestSettableSecond) + ")";
}

int Refuse(const std::string& reason, int status)
{
    std::fprintf(stderr, "tavrin-set-clock: %s\n", reason.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        const std::string got = argc == 1 ? "none" : std::to_string(argc - 1) + " arguments";
        return Refuse("expected one count of seconds since 1970-01-01 00:00:00 UTC, " + Range() + ", got " + got,
                      setclock::kBadArguments);
    }
    std::int64_t seconds = 0;
    switch (CheckSeconds(argv[1], seconds)) {
    case Refusal::NotDecimal:
        return Refuse("'" + Shown(argv[1]) + "' is not a count of seconds: only the digits 0-9 are allowed",
                      setclock::kBadArguments);
    case Refusal::OutOfRange:
        return Refuse("'" + Shown(argv[1]) + "' is out of range: the clock is set only " + Range(),
                      setclock::kOutOfRange);
    case Refusal::None:
        break;
    }

    const timespec time{static_cast<time_t>(seconds), 0};
    if (clock_settime(CLOCK_REALTIME, &time) != 0) {
        const int error = errno;
        std::fprintf(stderr, "tavrin-set-clock: cannot set the clock: %s\n", std::strerror(error));
        return error == EPERM ? setclock::kNoPermission : setclock::kRefused;
    }
    return setclock::kSet;
}
