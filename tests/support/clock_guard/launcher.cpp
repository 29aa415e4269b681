// tavrin-clock-guard: runs a program so that it cannot change this machine's clock.
//
//   tavrin-clock-guard [--interposer LIB] [--record FILE] [--marker FILE] [--clock FILE]
//                      [--clock-offset NS] [--clock-drift PPB] [--refuse] -- PROGRAM [ARGUMENT]...
//
// It forbids new privileges, installs a seccomp filter that fails every clock-setting
// system call with the guard's marker errno, and execs PROGRAM. The filter is inherited
// by everything PROGRAM starts. With --interposer, the library is preloaded so that the
// libc calls are recorded to FILE and answered with success (or EPERM with --refuse)
// before they ever reach the kernel; with --clock, the clock the guarded programs read
// moves with every change that was answered with success. The first launch with a FILE
// makes it: that clock starts NS nanoseconds from the real one and gains PPB parts per
// billion on it (shared_clock.h); later launches with the same FILE share what it holds.

#include "tests/support/clock_guard/guard_protocol.h"
#include "tests/support/clock_guard/shared_clock.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_X86_64;
// x32 calls arrive under the x86-64 arch with this bit set in the number.
constexpr unsigned kX32Bit = 0x40000000;
#elif defined(__aarch64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_AARCH64;
#else
#error "the clock guard knows no system-call table for this architecture"
#endif

const std::vector<unsigned> kNativeClockCalls = {
    SYS_clock_settime,
    SYS_settimeofday,
    SYS_adjtimex,
    SYS_clock_adjtime,
};

#if defined(__x86_64__)
// The i386 table, reachable from a 64-bit process through int 0x80 (asm/unistd_32.h).
const std::vector<unsigned> kI386ClockCalls = {
    25,  // stime
    79,  // settimeofday
    124, // adjtimex
    264, // clock_settime
    343, // clock_adjtime
    404, // clock_settime64
    405, // clock_adjtime64
};
#endif

sock_filter Statement(unsigned short code, unsigned k)
{
    return BPF_STMT(code, k);
}

sock_filter Jump(unsigned short code, unsigned k, unsigned char ifTrue, unsigned char ifFalse)
{
    return BPF_JUMP(code, k, ifTrue, ifFalse);
}

// Loads the call number, then fails any of `numbers` with the marker errno and allows the rest.
std::vector<sock_filter> DenySection(const std::vector<unsigned>& numbers, unsigned ignoredBits)
{
    std::vector<sock_filter> section;
    section.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    if (ignoredBits != 0)
        section.push_back(Statement(BPF_ALU | BPF_AND | BPF_K, ~ignoredBits));
    const auto count = numbers.size();
    for (std::size_t i = 0; i < count; ++i) {
        // Jump over the remaining comparisons and the "allow" to the "deny".
        const auto toDeny = static_cast<unsigned char>(count - i);
        section.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, numbers[i], toDeny, 0));
    }
    section.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    section.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(clockguard::kBlockedErrno)));
    return section;
}

std::vector<sock_filter> ClockFilter()
{
#if defined(__x86_64__)
    const std::vector<sock_filter> native = DenySection(kNativeClockCalls, kX32Bit);
    const std::vector<sock_filter> i386 = DenySection(kI386ClockCalls, 0);
#else
    const std::vector<sock_filter> native = DenySection(kNativeClockCalls, 0);
    const std::vector<sock_filter> i386;
#endif
    // arch: native → native section; i386 → its section; anything else kills the process.
    std::vector<sock_filter> filter;
    filter.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    filter.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 0, 1));
    const unsigned i386Dispatch = i386.empty() ? 0 : 2;
    filter.push_back(Statement(BPF_JMP | BPF_JA | BPF_K, i386Dispatch + 1));
    if (!i386.empty()) {
        filter.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 1));
        filter.push_back(Statement(BPF_JMP | BPF_JA | BPF_K, static_cast<unsigned>(1 + native.size())));
    }
    filter.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    filter.insert(filter.end(), native.begin(), native.end());
    filter.insert(filter.end(), i386.begin(), i386.end());
    return filter;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "tavrin-clock-guard: %s: %s; the program was not run\n", what, std::strerror(errno));
    return 126;
}

int Usage(const char* problem)
{
    std::fprintf(stderr,
                 "tavrin-clock-guard: %s\n"
                 "usage: tavrin-clock-guard [--interposer LIB] [--record FILE] [--marker FILE] [--clock FILE]"
                 " [--clock-offset NS] [--clock-drift PPB] [--refuse] -- PROGRAM [ARGUMENT]...\n",
                 problem);
    return 125;
}

// A whole decimal number, with an optional sign, and nothing else.
bool ParseCount(const char* text, std::int64_t& count)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    count = value;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int next = 1;
    std::string interposer;
    std::string clock;
    clockguard::ClockState start;
    for (; next < argc && std::strcmp(argv[next], "--") != 0; ++next) {
        const std::string option = argv[next];
        const bool takesValue = option == "--interposer" || option == "--record" || option == "--marker"
                             || option == "--clock" || option == "--clock-offset" || option == "--clock-drift";
        if (takesValue && next + 1 >= argc)
            return Usage(("missing value for " + option).c_str());
        if (option == "--clock-offset" || option == "--clock-drift") {
            if (!ParseCount(argv[++next], option == "--clock-offset" ? start.anchorShift : start.driftPpb))
                return Usage(("'" + std::string(argv[next]) + "' is not a whole number for " + option).c_str());
        } else if (option == "--interposer")
            interposer = argv[++next];
        else if (option == "--record")
            setenv(clockguard::kRecordVariable, argv[++next], 1);
        else if (option == "--marker")
            setenv(clockguard::kMarkerVariable, argv[++next], 1);
        else if (option == "--clock")
            clock = argv[++next];
        else if (option == "--refuse")
            setenv(clockguard::kRefuseVariable, "1", 1);
        else
            return Usage(("unknown option '" + option + "'").c_str());
    }
    if (next + 1 >= argc)
        return Usage("no program given");
    char** const program = argv + next + 1;

    if (!interposer.empty()) {
        const char* inherited = std::getenv("LD_PRELOAD");
        const std::string preload = inherited && *inherited ? interposer + ":" + inherited : interposer;
        setenv("LD_PRELOAD", preload.c_str(), 1);
    }

    if (!clock.empty()) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        start.anchorReal = static_cast<std::int64_t>(now.tv_sec) * clockguard::kNanosecondsPerSecond + now.tv_nsec;
        if (!clockguard::CreateSharedClock(clock.c_str(), start))
            return Fail("cannot make the shared clock");
        setenv(clockguard::kClockVariable, clock.c_str(), 1);
    }

    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return Fail("cannot forbid new privileges");
    std::vector<sock_filter> filter = ClockFilter();
    const sock_fprog compiled{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &compiled, 0, 0) != 0)
        return Fail("cannot install the clock filter");

    execvp(program[0], program);
    std::fprintf(stderr, "tavrin-clock-guard: cannot run '%s': %s\n", program[0], std::strerror(errno));
    return 127;
}
