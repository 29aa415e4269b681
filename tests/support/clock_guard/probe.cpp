// tavrin-clock-guard-probe: proves, from inside, that the clock guard holds.
//
//   tavrin-clock-guard-probe [--libc recorded|blocked|refused]
//   tavrin-clock-guard-probe --read-clock
//
// First every clock-setting system call is made directly, with a null time, through each
// entry the kernel offers (64-bit, x32, i386). Each must fail with the guard's marker errno.
// A null time makes these calls harmless even where no filter stands: the kernel then
// answers EFAULT, or does nothing at all.
//
// Only when all of them were blocked does the probe call the libc functions, which must
// then be answered as asked: "recorded" (success, from the interposer), "blocked" (the
// marker errno, from the filter alone) or "refused" (EPERM, from the interposer, for the
// sets; the reads are answered, as the kernel answers them without the right to set).
// Exit status 0 when everything held; otherwise each failure is named on standard output.
//
// --read-clock prints the real clock (read by the system call itself, past any
// interposer), the clock as libc gives it, and the real clock again, in nanoseconds since
// 1970 on one line: how far the clock this program reads stands from the real one.
//
// --read-receipt sends itself a datagram on loopback and prints the clock as libc gives it
// before the send, the kernel's receipt time of the datagram (SO_TIMESTAMPNS) as recvmsg
// gives it, and the clock after the receive, in nanoseconds since 1970 on one line.

#include "tests/support/clock_guard/guard_protocol.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

namespace {

int failures = 0;

void Report(bool held, const std::string& what, const std::string& detail)
{
    std::printf("%s: %s%s\n", held ? "held" : "FAILED", what.c_str(), detail.c_str());
    if (!held)
        ++failures;
}

std::string ErrnoText(int error)
{
    return std::string(" (errno ") + std::to_string(error) + " " + std::strerror(error) + ")";
}

void ExpectBlocked(const char* what, long result)
{
    const int error = errno;
    const bool held = result == -1 && error == clockguard::kBlockedErrno;
    Report(held, what, held ? "" : result == -1 ? ErrnoText(error) : " (the kernel took it)");
}

void ProbeNativeCalls()
{
    ExpectBlocked("clock_settime system call", syscall(SYS_clock_settime, CLOCK_REALTIME, nullptr));
    ExpectBlocked("settimeofday system call", syscall(SYS_settimeofday, nullptr, nullptr));
    ExpectBlocked("adjtimex system call", syscall(SYS_adjtimex, nullptr));
    ExpectBlocked("clock_adjtime system call", syscall(SYS_clock_adjtime, CLOCK_REALTIME, nullptr));
}

#if defined(__x86_64__)
constexpr long kX32Bit = 0x40000000;

void ProbeX32Calls()
{
    ExpectBlocked("x32 clock_settime system call", syscall(kX32Bit | SYS_clock_settime, CLOCK_REALTIME, nullptr));
    ExpectBlocked("x32 settimeofday system call", syscall(kX32Bit | SYS_settimeofday, nullptr, nullptr));
    ExpectBlocked("x32 adjtimex system call", syscall(kX32Bit | SYS_adjtimex, nullptr));
    ExpectBlocked("x32 clock_adjtime system call", syscall(kX32Bit | SYS_clock_adjtime, CLOCK_REALTIME, nullptr));
}

long I386Call(long number, long first, long second)
{
    long result = number;
    asm volatile("int $0x80" : "+a"(result) : "b"(first), "c"(second) : "r8", "r9", "r10", "r11", "memory");
    return result;
}

// In a child, as a kernel without the i386 entry answers int 0x80 with SIGSEGV.
void ProbeI386Calls()
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        struct Call {
            const char* name;
            long number;
        };
        const Call calls[] = {{"i386 stime", 25},           {"i386 settimeofday", 79},   {"i386 adjtimex", 124},
                              {"i386 clock_settime", 264},  {"i386 clock_adjtime", 343}, {"i386 clock_settime64", 404},
                              {"i386 clock_adjtime64", 405}};
        for (const Call& call : calls) {
            const long result = I386Call(call.number, 0, 0);
            const bool held = result == -clockguard::kBlockedErrno;
            Report(held, std::string(call.name) + " system call",
                   held         ? ""
                   : result < 0 ? ErrnoText(static_cast<int>(-result))
                                : " (the kernel took it)");
        }
        std::fflush(stdout);
        _exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        Report(false, "i386 system calls", " (no child to try them in)");
        return;
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV)
        std::printf("held: i386 system calls (this kernel has no i386 entry)\n");
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ++failures;
}
#endif

enum class LibcExpectation { Recorded, Blocked, Refused };

void ExpectLibc(LibcExpectation expectation, const char* what, int result)
{
    const int error = errno;
    bool held = false;
    switch (expectation) {
    case LibcExpectation::Recorded:
        held = result >= 0;
        break;
    case LibcExpectation::Blocked:
        held = result == -1 && error == clockguard::kBlockedErrno;
        break;
    case LibcExpectation::Refused:
        held = result == -1 && error == EPERM;
        break;
    }
    Report(held, what, held ? "" : result == -1 ? ErrnoText(error) : " (it succeeded)");
}

// The times asked for are now, and the adjustments are read-only queries, so that even a
// call that got through would change nothing that matters.
void ProbeLibcCalls(LibcExpectation expectation)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ExpectLibc(expectation, "libc clock_settime", clock_settime(CLOCK_REALTIME, &now));

    timeval nowInMicroseconds{now.tv_sec, now.tv_nsec / 1000};
    ExpectLibc(expectation, "libc settimeofday", settimeofday(&nowInMicroseconds, nullptr));

    const LibcExpectation read = expectation == LibcExpectation::Refused ? LibcExpectation::Recorded : expectation;
    timeval remaining{};
    ExpectLibc(read, "libc adjtime", adjtime(nullptr, &remaining));

    timex query{};
    ExpectLibc(read, "libc adjtimex", adjtimex(&query));
    query = {};
    ExpectLibc(read, "libc ntp_adjtime", ntp_adjtime(&query));
    query = {};
    ExpectLibc(read, "libc clock_adjtime", clock_adjtime(CLOCK_REALTIME, &query));
}

long long RealNanoseconds()
{
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

int ReadClock()
{
    const long long before = RealNanoseconds();
    timespec read{};
    clock_gettime(CLOCK_REALTIME, &read);
    const long long after = RealNanoseconds();
    std::printf("%lld %lld %lld\n", before, read.tv_sec * 1'000'000'000LL + read.tv_nsec, after);
    return 0;
}

long long GuardedNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

int ReadReceipt()
{
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof self;
    const int on = 1;
    if (socket < 0 || setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
        || bind(socket, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0
        || getsockname(socket, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
        std::perror("tavrin-clock-guard-probe: a socket to itself");
        return 1;
    }
    const long long before = GuardedNanoseconds();
    char byte = 'x';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (sendto(socket, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 1
        || recvmsg(socket, &message, 0) != 1) {
        std::perror("tavrin-clock-guard-probe: the datagram to itself");
        return 1;
    }
    const long long after = GuardedNanoseconds();
    const cmsghdr* note = CMSG_FIRSTHDR(&message);
    if (!note || note->cmsg_level != SOL_SOCKET || note->cmsg_type != SCM_TIMESTAMPNS) {
        std::fprintf(stderr, "tavrin-clock-guard-probe: no receipt time came\n");
        return 1;
    }
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(note), sizeof stamp);
    std::printf("%lld %lld %lld\n", before, stamp.tv_sec * 1'000'000'000LL + stamp.tv_nsec, after);
    return 0;
}

std::optional<LibcExpectation> ParseExpectation(int argc, char** argv)
{
    if (argc == 1)
        return LibcExpectation::Recorded;
    if (argc != 3 || std::strcmp(argv[1], "--libc") != 0)
        return std::nullopt;
    const std::string value = argv[2];
    if (value == "recorded")
        return LibcExpectation::Recorded;
    if (value == "blocked")
        return LibcExpectation::Blocked;
    if (value == "refused")
        return LibcExpectation::Refused;
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--read-clock") == 0)
        return ReadClock();
    if (argc == 2 && std::strcmp(argv[1], "--read-receipt") == 0)
        return ReadReceipt();
    const std::optional<LibcExpectation> expectation = ParseExpectation(argc, argv);
    if (!expectation) {
        std::fprintf(stderr, "usage: tavrin-clock-guard-probe [--libc recorded|blocked|refused] | --read-clock | "
                             "--read-receipt\n");
        return 2;
    }

    ProbeNativeCalls();
#if defined(__x86_64__)
    ProbeX32Calls();
    ProbeI386Calls();
#endif
    if (failures != 0) {
        std::printf("FAILED: no seccomp filter in place; the libc functions were not called\n");
        return 1;
    }
    ProbeLibcCalls(*expectation);
    return failures == 0 ? 0 : 1;
}
