#pragma once

// What the clock guard's launcher, interposer and probe agree on.

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace clockguard {

// The errno the seccomp filter gives every clock-setting system call. No such call ever
// fails with it on its own, so seeing it proves the filter, not the kernel, said no.
inline constexpr int kBlockedErrno = ENOANO;

// Where the interposer appends one line per clock-setting call it swallowed.
inline constexpr char kRecordVariable[] = "TAVRIN_CLOCK_GUARD_RECORD";
// Where the interposer appends one line "<pid> <program>" when it is loaded.
inline constexpr char kMarkerVariable[] = "TAVRIN_CLOCK_GUARD_MARKER";
// When set, the interposer answers every call that would change the clock with EPERM, as
// an unprivileged process sees.
inline constexpr char kRefuseVariable[] = "TAVRIN_CLOCK_GUARD_REFUSE";
// The file that every guarded process maps: the clock they read and the kernel's state
// they see (shared_clock.h).
inline constexpr char kClockVariable[] = "TAVRIN_CLOCK_GUARD_CLOCK";

// True when this process runs under the guard's filter. Test programs that can set the
// clock ask this before they do anything. The null time makes the question harmless even
// where no filter stands.
inline bool UnderClockFilter()
{
    return syscall(SYS_clock_settime, CLOCK_REALTIME, nullptr) == -1 && errno == kBlockedErrno;
}

} // namespace clockguard
