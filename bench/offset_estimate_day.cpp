// The offset estimate keeping a simulated PC clock for a day: a request every 300 s, a PC
// drifting by 50 ppm from up to 5 s off, a LAN round trip of 0.3 ms +/- 0.1 ms, the server
// reading its clock anywhere in the flight. Over the last 12 hours it prints the true offset
// every 10 s, the true offset at each reply, what the reply's correction left of it (a slew
// counted as done) and the error bound: their median and largest size. Then the same day
// with every request sent at its nominal moment, untimed. Figures to read, not limits.
//
//   build/bench/offset_estimate_day [SEED]

#include "keeper/offset_estimate.h"
#include "tests/support/simulated_keeping.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

using keeper::Correction;
using std::chrono::nanoseconds;
using namespace std::chrono_literals;

namespace {

constexpr nanoseconds kCycle = 300s;
constexpr nanoseconds kSample = 10s;
constexpr nanoseconds kDay = 24h;
constexpr double kDriftPpm = 50.0;

// Sizes in milliseconds, one figure per kind.
struct Sizes {
    void Add(nanoseconds value)
    {
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::abs(value)).count());
    }
    void Print(const char* what)
    {
        std::sort(ms.begin(), ms.end());
        std::printf("  %-34s %10.3f ms %10.3f ms\n", what, ms[ms.size() / 2], ms.back());
    }
    std::vector<double> ms;
};

void SimulateDay(std::uint64_t seed, bool timed)
{
    std::mt19937_64 engine(seed);
    std::uniform_int_distribution<nanoseconds::rep> startOffset(-5'000'000'000, 5'000'000'000);
    std::uniform_int_distribution<nanoseconds::rep> jitter(-100'000, 100'000);
    std::uniform_real_distribution<double> phase(0.0, 1.0);
    const keeper::PcTime serverStart(1'700'000'000s + nanoseconds(jitter(engine)) * 1000);
    testsupport::SimulatedKeeping keeping(
        testsupport::SimulatedClocks(serverStart, nanoseconds(startOffset(engine)), kDriftPpm));
    keeping.timeRequests = timed;

    Sizes sampled, found, left, bounds;
    int steps = 0;
    int slews = 0;
    int startedAgain = 0;
    for (nanoseconds nominal = kCycle; nominal <= kDay; nominal += kCycle) {
        const bool counted = nominal > kDay / 2;
        // True time is the server's, which never jumps here.
        while (keeping.clocks.Server() - serverStart < nominal) {
            keeping.clocks.Advance(std::min(kSample, nominal - (keeping.clocks.Server() - serverStart)));
            if (counted)
                sampled.Add(keeping.clocks.TrueOffset());
        }
        const testsupport::SimulatedReply reply = keeping.Request(300us + nanoseconds(jitter(engine)), phase(engine));
        steps += reply.correction.kind == Correction::Kind::Step;
        slews += reply.correction.kind == Correction::Kind::Slew;
        startedAgain += reply.outcome == keeper::OffsetEstimator::Outcome::StartedAgain;
        if (!counted)
            continue;
        found.Add(reply.trueOffset);
        // A slew under way counted as done.
        const nanoseconds stepped = reply.correction.kind == Correction::Kind::Step ? reply.correction.amount : 0ns;
        left.Add(reply.trueOffset + stepped + reply.slewLeft);
        bounds.Add(reply.estimate->errorBound);
    }

    std::printf("%s requests, seed %llu, over the last 12 h:\n", timed ? "timed" : "untimed",
                static_cast<unsigned long long>(seed));
    std::printf("  %-34s %13s %13s\n", "", "median", "max");
    sampled.Print("true offset, every 10 s");
    found.Print("true offset at each reply");
    left.Print("offset left by its correction");
    bounds.Print("error bound");
    std::printf("  over the day: %d steps, %d slews, started again %d times\n", steps, slews, startedAgain);
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    std::printf("one day, a request every %lld s, PC drift %+.0f ppm, round trip 0.3 ms +/- 0.1 ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kCycle).count()), kDriftPpm);
    SimulateDay(seed, true);
    SimulateDay(seed, false);
    return 0;
}
