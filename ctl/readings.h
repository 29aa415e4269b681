#pragma once

// The words and quantities that tavrinctl's reports are made of, shared by status and
// check: the server's source and state in words, spans of time, offsets, local times.

#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

// "PC Clock", "GPS", "NTP"; "unknown" for -1, "unknown (7)" for a number nobody defined.
std::string SourceName(int source);
// "not in sync", "holdover", "in sync", "unknown"; "unknown (7)" as above.
std::string StateName(int state);

// Whole seconds from `fromUsec` to `toUsec` (microseconds since 1970), negative when
// `toUsec` is earlier; a part of a second is left out.
std::int64_t SecondsBetween(std::uint64_t fromUsec, std::uint64_t toUsec);

// A span of whole seconds, as timedatectl writes it: "42s", "4min 18s", "3h 5min", "2d 4h".
std::string SpanText(std::int64_t seconds);
// `seconds` from now: "in 4min 18s", "42s ago", "now".
std::string RelativeText(std::int64_t seconds);

// An amount in the unit that suits it, rounded to its last place: "850 µs", "+12 ms",
// "1.2 s". `withSign` writes "+" before an amount over 0; "-" is always written.
std::string AmountText(std::int64_t microseconds, bool withSign);
// An offset and its bound: "+12 ms ± 4 ms".
std::string OffsetText(std::int64_t offsetUsec, std::uint64_t boundUsec);

// Microseconds as decimal seconds, rounded to `places` (0 to 6) and written with as few
// as they need: "0.012", "-1.5", "0".
std::string DecimalSeconds(std::int64_t microseconds, int places = 6);

// A moment in local time with its zone, as timedatectl writes it: "Fri 2024-05-10
// 12:00:05 CEST". Past what the C library converts: the count itself.
std::string LocalTimeText(std::uint64_t usecSince1970);

// The lines of `text`, blank ones left out: a notice may end with its line break.
std::vector<std::string> NonBlankLines(const std::string& text);

} // namespace ctl
