#include "tests/support/clock_guard.h"

#include "tests/support/clock_guard/shared_clock.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testsupport {
namespace {

std::vector<std::string> LinesOf(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::string MakePrivateFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrin-clock-guard-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for the clock guard");
    return pattern;
}

// The libc functions the probe calls; each must have reached the interposer.
const char* const kProbedFunctions[] = {"clock_settime", "settimeofday", "adjtime",
                                        "adjtimex",      "ntp_adjtime",  "clock_adjtime"};

} // namespace

ClockGuardTools BuiltClockGuardTools()
{
    return {TAVRIN_CLOCK_GUARD_LAUNCHER, TAVRIN_CLOCK_GUARD_INTERPOSER, TAVRIN_CLOCK_GUARD_PROBE};
}

ClockGuard::ClockGuard(Answer answer, ClockGuardTools tools)
    : answer_(answer), tools_(std::move(tools)), folder_(MakePrivateFolder())
{
}

ClockGuard::~ClockGuard()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::vector<std::string> ClockGuard::GuardedCommand(const std::vector<std::string>& command, const std::string& record,
                                                    const std::string& marker, const std::string& clock) const
{
    std::vector<std::string> guarded = {tools_.launcher,
                                        "--interposer",
                                        tools_.interposer,
                                        "--record",
                                        record,
                                        "--marker",
                                        marker,
                                        "--clock",
                                        clock,
                                        "--clock-offset",
                                        std::to_string(clockOffset_.count()),
                                        "--clock-drift",
                                        std::to_string(clockDriftPpb_)};
    if (answer_ == Answer::Refusal)
        guarded.push_back("--refuse");
    guarded.push_back("--");
    guarded.insert(guarded.end(), command.begin(), command.end());
    return guarded;
}

std::string ClockGuard::Verify()
{
    verified_ = false;
    const std::string record = folder_ + "/probe-requests";
    const std::string marker = folder_ + "/probe-loads";
    std::filesystem::remove(record);
    std::filesystem::remove(marker);

    const char* expectation = answer_ == Answer::Refusal ? "refused" : "recorded";
    ChildProcess probe(GuardedCommand({tools_.probe, "--libc", expectation}, record, marker, folder_ + "/probe-clock"));
    if (!probe.WaitForExit())
        return "the guard's probe did not finish";
    const std::string pid = std::to_string(probe.Pid());
    if (probe.ExitCode() != 0) {
        return "the guard's probe failed (status " + std::to_string(probe.ExitCode()) + "):\n" + probe.Output()
             + probe.Errors();
    }

    const std::vector<std::string> loads = LinesOf(marker);
    if (std::none_of(loads.begin(), loads.end(), [&](const std::string& line) { return line.starts_with(pid + " "); }))
        return "the interposer left no load marker for the probe";

    const std::vector<std::string> requests = LinesOf(record);
    for (const char* function : kProbedFunctions) {
        const std::string prefix = pid + " " + function + " ";
        if (std::none_of(requests.begin(), requests.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); }))
            return std::string("the interposer did not record the probe's ") + function;
    }
    verified_ = true;
    return {};
}

std::unique_ptr<ChildProcess> ClockGuard::Start(const std::vector<std::string>& command,
                                                const std::vector<std::string>& environment)
{
    if (!verified_) {
        const std::string missing = Verify();
        if (!missing.empty())
            throw GuardNotInPlace("clock guard not in place, " + command.at(0) + " not started: " + missing);
    }
    return std::make_unique<ChildProcess>(
        GuardedCommand(command, folder_ + "/requests", folder_ + "/loads", folder_ + "/clock"), environment);
}

void ClockGuard::StartClock(std::chrono::nanoseconds offset, double driftPpm)
{
    clockOffset_ = offset;
    clockDriftPpb_ = std::llround(driftPpm * 1000);
    std::filesystem::remove(folder_ + "/clock"); // the next program started makes it anew
}

std::optional<GuardedClock> ClockGuard::Clock() const
{
    clockguard::SharedClock* shared = clockguard::MapSharedClock((folder_ + "/clock").c_str());
    if (!shared)
        return std::nullopt;
    const clockguard::ClockState state = shared->Load();
    munmap(shared, sizeof *shared);
    const auto real =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return GuardedClock{std::chrono::nanoseconds(clockguard::ShiftAt(state, real)),
                        std::chrono::nanoseconds(clockguard::SlewLeftAt(state, real)), static_cast<int>(state.status),
                        std::chrono::microseconds(state.maxErrorUs), std::chrono::microseconds(state.estErrorUs)};
}

std::vector<std::string> ClockGuard::Requests() const
{
    return LinesOf(folder_ + "/requests");
}

std::vector<std::string> ClockGuard::Loads() const
{
    return LinesOf(folder_ + "/loads");
}

void ClockGuardedTest::SetUp()
{
    const std::string missing = guard.Verify();
    ASSERT_EQ(missing, "") << "the clock guard is not in place; the test stops before its program runs";
}

} // namespace testsupport
