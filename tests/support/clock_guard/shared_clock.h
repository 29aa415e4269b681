#pragma once

// The clock that every process of one clock guard reads instead of the real one, and the
// kernel's synchronisation state they see, kept in a file they all map.
//
// The guarded clock stands a shift from the real one. Every change (a set, a step, a slew,
// a new status) re-anchors it at the real time of the change; between changes the shift
// grows at the drift rate and works off what is left of a slew at 500 ppm, as Linux does
// under adjtime. The kernel's maximum error does not grow between changes as Linux's does:
// a test reads back what was set.
//
// Writers are few and readers many: a version, odd while a writer is at work, lets a
// reader take every field of one state or try again.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace clockguard {

inline constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// Linux works off a slew at 500 µs a second: one nanosecond per 2000 elapsed.
inline constexpr std::int64_t kElapsedPerSlewedNanosecond = 2000;
// The kernel's maximum and estimated error at boot, in µs: nothing is known yet.
inline constexpr std::int64_t kBootErrorUs = 16'000'000;

struct ClockState {
    std::int64_t anchorReal = 0;      // real time of the last change, ns since 1970
    std::int64_t anchorShift = 0;     // how far the guarded clock stood ahead of the real one then, ns
    std::int64_t driftPpb = 0;        // how fast it gains on the real one, in parts per billion
    std::int64_t slewLeft = 0;        // the slew not worked off then, ns
    std::int64_t status = STA_UNSYNC; // the kernel's STA_ bits, as at boot
    std::int64_t maxErrorUs = kBootErrorUs;
    std::int64_t estErrorUs = kBootErrorUs;
};

// How much of a slew of `left` is worked off in `elapsed` ns.
inline std::int64_t SlewedIn(std::int64_t left, std::int64_t elapsed)
{
    const std::int64_t most = std::max<std::int64_t>(elapsed, 0) / kElapsedPerSlewedNanosecond;
    return left >= 0 ? std::min(left, most) : std::max(left, -most);
}

// How far ahead of the real clock the guarded one stands at the real time `real`.
inline std::int64_t ShiftAt(const ClockState& state, std::int64_t real)
{
    const std::int64_t elapsed = real - state.anchorReal;
    // In floating point: an hour at a drift of a whole 100 % would overflow 64 bits of ns².
    const double drifted = static_cast<double>(elapsed) * static_cast<double>(state.driftPpb) / 1e9;
    return state.anchorShift + static_cast<std::int64_t>(drifted) + SlewedIn(state.slewLeft, elapsed);
}

inline std::int64_t SlewLeftAt(const ClockState& state, std::int64_t real)
{
    return state.slewLeft - SlewedIn(state.slewLeft, real - state.anchorReal);
}

// The same clock, described from the real time `real` on.
inline ClockState AnchoredAt(const ClockState& state, std::int64_t real)
{
    ClockState anchored = state;
    anchored.anchorShift = ShiftAt(state, real);
    anchored.slewLeft = SlewLeftAt(state, real);
    anchored.anchorReal = real;
    return anchored;
}

// The layout of the shared file.
struct SharedClock {
    static constexpr std::size_t kWords = sizeof(ClockState) / sizeof(std::int64_t);
    using Words = std::array<std::int64_t, kWords>;

    std::atomic<std::uint64_t> version;
    std::atomic<std::int64_t> words[kWords];

    ClockState Load() const
    {
        for (;;) {
            const std::uint64_t before = version.load();
            const ClockState state = Copy();
            if (before % 2 == 0 && version.load() == before)
                return state;
        }
    }

    // Re-anchors the state at the real time `now()` gives once no other writer is at work,
    // lets `change` alter it, and publishes it. Returns what `change` returns.
    template <typename Now, typename Change>
    auto Update(Now now, Change change)
    {
        std::uint64_t seen = version.load();
        while (seen % 2 != 0 || !version.compare_exchange_weak(seen, seen + 1))
            seen = version.load();
        ClockState state = AnchoredAt(Copy(), now());
        const auto result = change(state);
        Store(state);
        version.store(seen + 2);
        return result;
    }

    // For the one who made the file, before anyone else maps it.
    void Initialise(const ClockState& state)
    {
        Store(state);
        version.store(0);
    }

private:
    ClockState Copy() const
    {
        Words copy{};
        for (std::size_t i = 0; i < kWords; ++i)
            copy[i] = words[i].load();
        return std::bit_cast<ClockState>(copy);
    }

    void Store(const ClockState& state)
    {
        const auto copy = std::bit_cast<Words>(state);
        for (std::size_t i = 0; i < kWords; ++i)
            words[i].store(copy[i]);
    }
};

static_assert(sizeof(ClockState) == SharedClock::kWords * sizeof(std::int64_t));
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared between processes, so lock-free");

// Makes the file at `path` holding `state`, unless it is there already: the first program
// started under a guard sets its clock's start, the later ones share it. The file appears
// whole or not at all. False when it could be made neither.
inline bool CreateSharedClock(const char* path, const ClockState& state)
{
    const std::string unfinished = std::string(path) + ".new-" + std::to_string(getpid());
    const int fd = open(unfinished.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    void* shared = MAP_FAILED;
    if (ftruncate(fd, sizeof(SharedClock)) == 0)
        shared = mmap(nullptr, sizeof(SharedClock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    bool made = shared != MAP_FAILED;
    if (made) {
        static_cast<SharedClock*>(shared)->Initialise(state);
        munmap(shared, sizeof(SharedClock));
        made = link(unfinished.c_str(), path) == 0 || errno == EEXIST;
    }
    unlink(unfinished.c_str());
    return made;
}

// The shared clock at `path`, mapped for good; null when there is none.
inline SharedClock* MapSharedClock(const char* path)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat file {};
    void* shared = MAP_FAILED;
    if (fstat(fd, &file) == 0 && file.st_size >= static_cast<off_t>(sizeof(SharedClock)))
        shared = mmap(nullptr, sizeof(SharedClock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return shared == MAP_FAILED ? nullptr : static_cast<SharedClock*>(shared);
}

} // namespace clockguard
