#pragma once

// The log under systemd. A service whose standard error systemd hands to the journal
// learns it from JOURNAL_STREAM; its lines then go to the journal in the journal's own
// form, with their level, their category and, for events (platform/log_event.h), their
// id and figures as fields of their own. Anywhere else the lines go to standard error as
// platform::UseLogFormat() writes them.

namespace platform {

// Whether standard error is the journal's stream: JOURNAL_STREAM holds
// "<device>:<inode>", and standard error must be that very file. A program whose standard
// error was sent elsewhere, by its caller or by itself, has inherited the variable but is
// not heard by the journal that way.
bool StandardErrorIsJournal();

// From now on every log line goes to the journal: MESSAGE (the text alone), PRIORITY (debug
// 7, info 6, warning 4, critical 3), CODE_CATEGORY ("tavrin.sync"), CODE_FILE, CODE_LINE
// and CODE_FUNC where Qt knows them, and for an event MESSAGE_ID and its fields. A line
// the journal refuses goes to standard error instead (one sent while the journal has no
// socket at all is lost: libsystemd tells nothing of it). Call it on the main thread
// before other threads log; the lines may come from any thread.
void SendLogToJournal();

// The choice at the service's start: UseLogFormat(), and the journal as well when standard
// error is its stream and the journal's socket is there to take the lines. True when the
// journal was chosen.
bool UseJournalWhenConnected();

} // namespace platform
