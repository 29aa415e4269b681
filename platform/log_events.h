#pragma once

// The kinds of event the clock keeper logs (platform/log_event.h), each with the id the
// journal files it under, and the names of the figures that go with them. An id is made
// once, at random, and never changes: whoever watches the journal for it relies on it.
//
//   journalctl MESSAGE_ID=7ab93a14d1c64a46bc8313be38a4f61b     every step of the clock

#include <string_view>

namespace platform {

// The clock was stepped to the server's time.
inline constexpr std::string_view kClockStepped = "7ab93a14d1c64a46bc8313be38a4f61b";
// The clock was brought to the server's time gradually.
inline constexpr std::string_view kClockSlewed = "b3ecdb18491e4723a662b3fb71daaf7f";
// The clock needed setting and was not set: no right to, beyond the step limit, a time
// outside what may be set.
inline constexpr std::string_view kClockNotSet = "e679f5a758d34685a1a66701dfd76118";
// The server stopped answering.
inline constexpr std::string_view kServerUnreachable = "f9df709595e34944b59a756725a2ac1f";
// The server answers again.
inline constexpr std::string_view kServerBack = "dd6020a107914f3bb0c3a8dffe7a496e";
// A reply connection was refused: it came from another address than the server's, from
// another user's socket, or sent anything but frames.
inline constexpr std::string_view kReplyRefused = "ca6162d7f6d3462da9543973132bd8b7";
// Another program keeps the clock too.
inline constexpr std::string_view kOtherSynchroniser = "3fb239a9aea74026a2924df318ee8b31";

// The PC's time minus the server's, in whole microseconds, signed: "-2500000".
inline constexpr std::string_view kFieldOffsetUsec = "TAVRIN_OFFSET_USEC";
// How far that offset may be off either way, in whole microseconds.
inline constexpr std::string_view kFieldErrorBoundUsec = "TAVRIN_ERROR_BOUND_USEC";
// The server as configured: an IPv4 address or a host name.
inline constexpr std::string_view kFieldServer = "TAVRIN_SERVER";
// The address a connection came from.
inline constexpr std::string_view kFieldPeer = "TAVRIN_PEER";
// The step limit in force, in whole microseconds; 0 for none.
inline constexpr std::string_view kFieldMaxStepUsec = "TAVRIN_MAX_STEP_USEC";
// The time code's source and sync state digits.
inline constexpr std::string_view kFieldSource = "TAVRIN_SOURCE";
inline constexpr std::string_view kFieldState = "TAVRIN_STATE";
// Why something failed, in a few words.
inline constexpr std::string_view kFieldReason = "TAVRIN_REASON";
// How many like events went unlogged since the last line, so that a flood does not flood
// the log.
inline constexpr std::string_view kFieldNotLogged = "TAVRIN_NOT_LOGGED";

} // namespace platform
