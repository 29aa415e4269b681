// The offset estimate: the ends of the bounds a frame sets, the moment a request goes out,
// the decision to correct, and a simulated client keeping a PC clock over thousands of
// exchanges: the true offset lies within the bound at every one, timed requests narrow it
// to about the round trip, and a server that jumps starts it again once.
//
// The randomised tests print their seed on failure; TAVRIN_TEST_SEED=<seed> repeats that run
// first.

#include "keeper/offset_estimate.h"
#include "tests/support/simulated_keeping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

using keeper::Correction;
using keeper::Estimate;
using keeper::MonotonicTime;
using keeper::OffsetEstimator;
using keeper::PcTime;
using testsupport::SimulatedClocks;
using testsupport::SimulatedKeeping;
using testsupport::SimulatedReply;
using Outcome = keeper::OffsetEstimator::Outcome;
using std::chrono::nanoseconds;
using std::chrono::sys_seconds;
using namespace std::chrono_literals;

namespace {

constexpr sys_seconds kNoon{1'211'371'200s}; // 2008-05-21 12:00:00 UTC

std::uint64_t BaseSeed()
{
    static const std::uint64_t seed = [] {
        if (const char* given = std::getenv("TAVRIN_TEST_SEED"))
            return static_cast<std::uint64_t>(std::strtoull(given, nullptr, 10));
        std::random_device device;
        return std::uint64_t{device()} << 32 | device();
    }();
    return seed;
}

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    nanoseconds Between(nanoseconds low, nanoseconds high)
    {
        return nanoseconds(std::uniform_int_distribution<nanoseconds::rep>(low.count(), high.count())(engine_));
    }
    double Between(double low, double high) { return std::uniform_real_distribution<double>(low, high)(engine_); }
    bool OneIn(int count) { return std::uniform_int_distribution<int>(1, count)(engine_) == 1; }

private:
    std::mt19937_64 engine_;
};

// A server somewhere between 2008 and 2039 at any point of its second; a PC up to 5 s off
// it, drifting by up to nine tenths of the allowance (the simulation rounds each step to the
// nanosecond, and needs a little room).
SimulatedClocks RandomClocks(Random& random)
{
    const double drift = 0.9 * static_cast<double>(keeper::kDriftAllowancePpm);
    return SimulatedClocks(PcTime(random.Between(1'200'000'000s, 2'200'000'000s)), random.Between(-5s, 5s),
                           random.Between(-drift, drift));
}

testing::AssertionResult Within(const std::optional<Estimate>& estimate, nanoseconds trueOffset)
{
    if (!estimate)
        return testing::AssertionFailure() << "no estimate";
    if (std::chrono::abs(trueOffset - estimate->offset) <= estimate->errorBound)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "true offset " << trueOffset.count() << " ns outside "
                                       << estimate->offset.count() << " +/- " << estimate->errorBound.count() << " ns";
}

// What the correction applied after a reply left of the offset (a slew under way counted
// as done): within twice the bound, or the correction went the wrong way.
nanoseconds OffsetLeft(const SimulatedReply& reply)
{
    const nanoseconds stepped = reply.correction.kind == Correction::Kind::Step ? reply.correction.amount : 0ns;
    return std::chrono::abs(reply.trueOffset + stepped + reply.slewLeft);
}

// A frame of the edge cases: its PC times after its own second, which is the start's plus
// `at`, as is the monotonic clock when it comes.
struct Frame {
    Frame Is(Outcome expected) const
    {
        Frame changed = *this;
        changed.outcome = expected;
        return changed;
    }
    Frame At(nanoseconds later) const
    {
        Frame changed = *this;
        changed.at = later;
        return changed;
    }
    Frame Of(sys_seconds serverSecond) const
    {
        Frame changed = *this;
        changed.second = serverSecond;
        return changed;
    }

    std::optional<nanoseconds> sent; // none: a frame that came unasked
    nanoseconds received{};
    Outcome outcome = Outcome::Kept; // what adding it must give
    nanoseconds at{};
    std::optional<sys_seconds> second; // when not the start's plus `at`
};

Frame Asked(nanoseconds sent, nanoseconds received)
{
    Frame frame;
    frame.sent = sent;
    frame.received = received;
    return frame;
}

Frame Unasked(nanoseconds received)
{
    Frame frame;
    frame.received = received;
    return frame;
}

struct Range {
    nanoseconds low; // both ends inclusive
    nanoseconds high;
};

struct Edge {
    const char* what;
    std::vector<Frame> frames;
    std::optional<Range> range; // the offset's after the frames; none: no estimate
    nanoseconds correctedBy;    // reported after the frames
    nanoseconds later;          // after the last frame, when the range is read
};

} // namespace

TEST(OffsetEstimate, TheEndsOfTheBoundsAFrameSets)
{
    const auto share = [](nanoseconds span, std::int64_t ppm) { return span * ppm / 1'000'000; };
    const nanoseconds aged = share(10s, keeper::kDriftAllowancePpm);
    const nanoseconds rising = 200ms + aged * 3 / 2;
    const Frame reply = Asked(200ms, 200ms); // the offset in (-800 ms, 200 ms]

    const Edge edges[] = {
        {"a reply bounds the offset by (t0 - S - 1 s, t2 - S], less the flight's allowance below",
         {Asked(150ms, 250ms)},
         Range{-850ms + 1ns - share(100ms, keeper::kFlightAllowancePpm), 250ms},
         0ns,
         0ns},
        {"the upper end is inclusive: a reply whose lower end reaches it leaves that offset",
         {Asked(500ms, 500ms), Asked(1500ms - 1ns, 1500ms - 1ns)},
         Range{500ms, 500ms},
         0ns,
         0ns},
        {"the lower end is exclusive: a reply whose open end touches the upper end starts again",
         {Asked(500ms, 500ms), Asked(1500ms, 1500ms).Is(Outcome::StartedAgain)},
         Range{500ms + 1ns, 1500ms},
         0ns,
         0ns},
        {"a frame that came unasked bounds the offset from above only", {Unasked(300ms)}, std::nullopt, 0ns, 0ns},
        {"an unasked frame lowers the upper end", {reply, Unasked(100ms)}, Range{-800ms + 1ns, 100ms}, 0ns, 0ns},
        {"but leaves a lower one", {reply, Unasked(500ms)}, Range{-800ms + 1ns, 200ms}, 0ns, 0ns},
        {"an unasked frame at the lower end leaves that offset",
         {reply, Unasked(-800ms + 1ns)},
         Range{-800ms + 1ns, -800ms + 1ns},
         0ns,
         0ns},
        {"an unasked frame below the lower end starts again, without an estimate",
         {reply, Unasked(-800ms).Is(Outcome::StartedAgain)},
         std::nullopt,
         0ns,
         0ns},
        {"an unasked frame, then a reply", {Unasked(100ms), reply}, Range{-800ms + 1ns, 100ms}, 0ns, 0ns},
        {"a reply received before its request went out is ignored",
         {reply, Asked(300ms, 299ms).Is(Outcome::Ignored)},
         Range{-800ms + 1ns, 200ms},
         0ns,
         0ns},
        {"a second before 1970 is ignored",
         {reply, Asked(0ms, 0ms).Of(sys_seconds(-1s)).Is(Outcome::Ignored)},
         Range{-800ms + 1ns, 200ms},
         0ns,
         0ns},
        {"a PC clock two centuries from the second is ignored, before any arithmetic overflows",
         {reply, Asked(-200 * 8766h, -200 * 8766h).Of(sys_seconds(9'121'137'120s)).Is(Outcome::Ignored)},
         Range{-800ms + 1ns, 200ms},
         0ns,
         0ns},
        {"a second past what nanoseconds since 1970 hold is ignored",
         {reply, Unasked(0ms).Of(sys_seconds(9'223'372'036s)).Is(Outcome::Ignored)},
         Range{-800ms + 1ns, 200ms},
         0ns,
         0ns},
        {"the ends widen by the drift allowance of their age",
         {reply},
         Range{-800ms + 1ns - aged, 200ms + aged},
         0ns,
         10s},
        {"an allowance short of a whole nanosecond is rounded up",
         {reply},
         Range{-800ms - aged, 200ms + aged + 1ns},
         0ns,
         10s + 1ns},
        {"a newer reply's ends replace older ones that aged past them",
         {reply, Asked(200ms, 200ms).At(10s)},
         Range{-800ms + 1ns, 200ms},
         0ns,
         0ns},
        {"an older end stays while its age has not widened it past a newer one",
         {reply, Asked(rising, rising).At(10s)},
         Range{rising - 1s + 1ns, 200ms + aged},
         0ns,
         0ns},
        {"a correction moves the ends with the PC's clock", {reply}, Range{-500ms + 1ns, 500ms}, 300ms, 0ns},
    };

    const MonotonicTime start{1000s};
    for (const Edge& edge : edges) {
        SCOPED_TRACE(edge.what);
        OffsetEstimator estimator;
        for (const Frame& frame : edge.frames) {
            const PcTime pc = kNoon + frame.at;
            const std::optional<PcTime> sent = frame.sent ? std::optional(pc + *frame.sent) : std::nullopt;
            const sys_seconds second = frame.second.value_or(std::chrono::floor<std::chrono::seconds>(pc));
            EXPECT_EQ(estimator.Add({sent, pc + frame.received, second}, start + frame.at), frame.outcome);
        }
        estimator.Corrected(edge.correctedBy);
        const std::optional<Estimate> estimate = estimator.At(start + edge.frames.back().at + edge.later);
        ASSERT_EQ(estimate.has_value(), edge.range.has_value());
        if (!estimate)
            continue;
        // The bound reaches the upper end and the lower one, the latter perhaps a nanosecond
        // past it when the range's width is odd.
        EXPECT_EQ((estimate->offset + estimate->errorBound).count(), edge.range->high.count());
        EXPECT_LE((estimate->offset - estimate->errorBound).count(), edge.range->low.count());
        EXPECT_GE((estimate->offset - estimate->errorBound).count(), (edge.range->low - 1ns).count());
    }
}

TEST(OffsetEstimate, ARequestGoesOutForTheServersSecondToTurnHalfwayThroughItsFlight)
{
    const std::uint64_t seed = BaseSeed();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Random random(seed);
    for (int request = 0; request < 10'000; ++request) {
        const PcTime nominal(random.Between(1'200'000'000s, 2'200'000'000s));
        const Estimate estimate{random.Between(-5s, 5s), random.Between(0ns, 1s)};
        const nanoseconds roundTrip = random.Between(0ns, 50ms);
        const PcTime moment = keeper::SendMoment(nominal, estimate, roundTrip);
        ASSERT_GE(moment, nominal);
        ASSERT_LT(moment, nominal + 1s);
        // The server's expected time half a round trip later is a whole second.
        ASSERT_EQ((moment + roundTrip / 2 - estimate.offset).time_since_epoch() % 1s, 0ns);
    }
    EXPECT_EQ(keeper::SendMoment(PcTime(kNoon) + 123ms, std::nullopt, 10ms), PcTime(kNoon) + 123ms);
}

TEST(OffsetEstimate, AnOffsetOutsideTheBoundIsSteppedFrom400MsAndSlewedBelow)
{
    using Kind = Correction::Kind;
    struct Case {
        nanoseconds offset;
        nanoseconds errorBound;
        Kind kind;
        nanoseconds slewPending{}; // of a slew under way
    };
    const Case cases[] = {
        {0ns, 0ns, Kind::None},            // right, as far as anyone can tell
        {100ms, 100ms, Kind::None},        // the bound still holds zero, at its lower end
        {-100ms, 100ms, Kind::None},       // at its upper end
        {100ms, 100ms - 1ns, Kind::Slew},  // zero a nanosecond outside
        {-100ms, 100ms - 1ns, Kind::Slew}, // on the other side
        {400ms - 1ns, 0ns, Kind::Slew},    // just short of a step
        {400ms, 0ns, Kind::Step},          // a step from 400 ms on
        {-400ms, 399ms, Kind::Step},       // either way
        {3s, 3s, Kind::None},              // far, but not known to be off
        {-3s, 500ms, Kind::Step},          // far and known to be
        // A slew under way counts: it is judged by where the clock will stand after it.
        {-100ms, 50ms, Kind::None, 90ms},   // the slew will bring it within the bound
        {-436ms, 61ms, Kind::Slew, 367ms},  // what the slew leaves is slewed, not stepped
        {0ns, 10ms, Kind::Slew, 200ms},     // right now, but the slew would take it away
        {-1s, 50ms, Kind::Step, 100ms},     // far off even after the slew
        {-50ms, 10ms, Kind::Slew, -300ms},  // a slew the wrong way makes it worse
        {-300ms, 10ms, Kind::Step, -150ms}, // past the threshold once that slew is done
    };
    for (const Case& decided : cases) {
        SCOPED_TRACE(testing::Message() << decided.offset.count() << " +/- " << decided.errorBound.count() << " ns");
        const Correction correction =
            keeper::DecideCorrection({decided.offset, decided.errorBound}, decided.slewPending);
        EXPECT_EQ(correction.kind, decided.kind);
        // Whatever is done moves the PC's clock by minus the estimate.
        EXPECT_EQ(correction.amount, decided.kind == Kind::None ? 0ns : -decided.offset);
    }
}

TEST(OffsetEstimate, TheTrueOffsetLiesWithinTheBoundAtEveryMoment)
{
    int steps = 0;
    int slews = 0;
    for (int run = 0; run < 20; ++run) {
        const std::uint64_t seed = BaseSeed() + run;
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Random random(seed);
        SimulatedKeeping keeping(RandomClocks(random));
        bool asked = false;
        for (int exchange = 0; exchange < 500; ++exchange) {
            keeping.clocks.Advance(random.OneIn(2) ? random.Between(1ms, 5s) : random.Between(5s, 600s));
            if (asked) {
                ASSERT_TRUE(Within(keeping.EstimateNow(), keeping.clocks.TrueOffset()))
                    << "before exchange " << exchange;
            }
            const bool unasked = random.OneIn(8);
            const SimulatedReply reply = unasked
                                           ? keeping.Unasked(random.Between(50us, 25ms))
                                           : keeping.Request(random.Between(100us, 50ms), random.Between(0.0, 1.0));
            asked = asked || !unasked;
            ASSERT_EQ(reply.outcome, Outcome::Kept) << "exchange " << exchange;
            ASSERT_EQ(reply.estimate.has_value(), asked) << "exchange " << exchange;
            if (!asked)
                continue;
            ASSERT_TRUE(Within(reply.estimate, reply.trueOffset)) << "exchange " << exchange;
            ASSERT_LE(OffsetLeft(reply), 2 * reply.estimate->errorBound) << "exchange " << exchange;
            steps += reply.correction.kind == Correction::Kind::Step;
            slews += reply.correction.kind == Correction::Kind::Slew;
        }
    }
    // The runs went through both kinds of correction.
    EXPECT_GT(steps, 0);
    EXPECT_GT(slews, 0);
}

TEST(OffsetEstimate, TimedRequestsHalveTheBoundDownToAboutTheRoundTrip)
{
    for (int run = 0; run < 50; ++run) {
        const std::uint64_t seed = BaseSeed() + run;
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Random random(seed);
        SimulatedKeeping keeping(RandomClocks(random));
        SimulatedReply reply = keeping.Request(random.Between(100us, 1ms), random.Between(0.0, 1.0));
        for (int exchange = 0; exchange < 20; ++exchange) {
            keeping.clocks.Advance(random.Between(1s, 4s));
            const nanoseconds before = keeping.EstimateNow()->errorBound;
            reply = keeping.Request(random.Between(100us, 1ms), random.Between(0.0, 1.0));
            // Whichever second the reply carries, it cuts the open range at the estimate, give
            // or take the round trip and the age the range gains while the request waits.
            ASSERT_LE(reply.estimate->errorBound, before / 2 + 1ms) << "exchange " << exchange;
        }
        EXPECT_LE(reply.estimate->errorBound, 2ms);
        EXPECT_LE(OffsetLeft(reply), 4ms);
    }
}

TEST(OffsetEstimate, AServerThatJumpsStartsTheEstimateAgainOnceAndTheBoundHoldsAgain)
{
    constexpr int kJumpBefore = 30;
    for (int run = 0; run < 20; ++run) {
        const std::uint64_t seed = BaseSeed() + run;
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Random random(seed);
        SimulatedKeeping keeping(RandomClocks(random));
        for (int exchange = 0; exchange < 2 * kJumpBefore; ++exchange) {
            keeping.clocks.Advance(random.Between(1s, 60s));
            if (exchange == kJumpBefore)
                keeping.clocks.JumpServer(random.OneIn(2) ? 3s : -3s);
            const SimulatedReply reply = keeping.Request(random.Between(100us, 50ms), random.Between(0.0, 1.0));
            ASSERT_EQ(reply.outcome, exchange == kJumpBefore ? Outcome::StartedAgain : Outcome::Kept)
                << "exchange " << exchange;
            ASSERT_TRUE(Within(reply.estimate, reply.trueOffset)) << "exchange " << exchange;
        }
    }
}
