#include "keeper/offset_estimate.h"

#include <cstdint>
#include <optional>

namespace keeper {

using std::chrono::nanoseconds;
using namespace std::chrono_literals;

static_assert(sizeof(nanoseconds::rep) == 8, "offsets and PC times are 64-bit nanoseconds");

namespace {

// The last second whose nanoseconds since 1970 PcTime holds, less one: room for the lower
// end's arithmetic.
constexpr std::int64_t kLastSecond = nanoseconds::max().count() / 1'000'000'000 - 1;

// How far apart the PC's clock and the server's may be for the arithmetic here: about 146
// years, a quarter of what 64-bit nanoseconds hold, so that no end, allowance or
// correction can overflow.
constexpr nanoseconds kFarthestOffset{std::int64_t{1} << 62};

// `later` minus `earlier`; none beyond kFarthestOffset either way.
std::optional<nanoseconds> Difference(PcTime later, PcTime earlier)
{
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(later.time_since_epoch().count(), earlier.time_since_epoch().count(), &difference)
        || difference > kFarthestOffset.count() || difference < -kFarthestOffset.count())
        return std::nullopt;
    return nanoseconds(difference);
}

// `ppm` parts per million of `span`, rounded up: an allowance a nanosecond short would let
// a true offset at the very end of a bound out.
nanoseconds Share(nanoseconds span, std::int64_t ppm)
{
    constexpr std::int64_t kMillion = 1'000'000;
    if (span <= 0ns)
        return 0ns;
    // In two parts, so that an age of years cannot overflow the product.
    const std::int64_t whole = span.count() / kMillion * ppm;
    const std::int64_t rest = (span.count() % kMillion * ppm + kMillion - 1) / kMillion;
    return nanoseconds(whole + rest);
}

} // namespace

nanoseconds OffsetEstimator::LowerAt(MonotonicTime now) const
{
    return lower_->offset - Share(now - lower_->since, kDriftAllowancePpm);
}

nanoseconds OffsetEstimator::UpperAt(MonotonicTime now) const
{
    return upper_->offset + Share(now - upper_->since, kDriftAllowancePpm);
}

OffsetEstimator::Outcome OffsetEstimator::Add(const Exchange& exchange, MonotonicTime now)
{
    const std::int64_t second = exchange.second.time_since_epoch().count();
    if (second < 0 || second > kLastSecond)
        return Outcome::Ignored;
    const PcTime serverSecond = exchange.second;
    const std::optional<nanoseconds> received = Difference(exchange.received, serverSecond);
    if (!received)
        return Outcome::Ignored;
    const End upper{*received, now};
    std::optional<End> lower;
    if (exchange.sent) {
        // Kept from the receipt on, the lower end also allows for the clocks running apart
        // during the flight; the upper end needs nothing, as the server's clock never goes back.
        const std::optional<nanoseconds> sent = Difference(*exchange.sent, serverSecond);
        if (!sent || *sent > *received)
            return Outcome::Ignored;
        const nanoseconds flight = *received - *sent;
        lower = End{*sent - 1s + 1ns - Share(flight, kFlightAllowancePpm), now};
    }

    // What is kept never contradicts itself, so only the new ends can contradict it.
    if ((lower && upper_ && lower->offset > UpperAt(now)) || (lower_ && upper.offset < LowerAt(now))) {
        lower_ = lower;
        upper_ = upper;
        return Outcome::StartedAgain;
    }
    if (lower && (!lower_ || lower->offset >= LowerAt(now)))
        lower_ = lower;
    if (!upper_ || upper.offset <= UpperAt(now))
        upper_ = upper;
    return Outcome::Kept;
}

void OffsetEstimator::Corrected(nanoseconds pcMovedBy)
{
    if (lower_)
        lower_->offset += pcMovedBy;
    if (upper_)
        upper_->offset += pcMovedBy;
}

std::optional<Estimate> OffsetEstimator::At(MonotonicTime now) const
{
    if (!lower_ || !upper_)
        return std::nullopt;
    const nanoseconds lower = LowerAt(now);
    const nanoseconds upper = UpperAt(now);
    const nanoseconds middle = lower + (upper - lower) / 2;
    // Measured to the upper end, which the rounded-down middle leaves no nearer than the lower.
    return Estimate{middle, upper - middle};
}

PcTime SendMoment(PcTime nominal, const std::optional<Estimate>& estimate, nanoseconds lastRoundTrip)
{
    if (!estimate)
        return nominal;
    // The server's expected time in the middle of a flight that started at `nominal`, and
    // how far that lies into its second.
    const PcTime serverMid = nominal + lastRoundTrip / 2 - estimate->offset;
    nanoseconds intoSecond = serverMid.time_since_epoch() % 1s;
    if (intoSecond < 0ns)
        intoSecond += 1s;
    return intoSecond == 0ns ? nominal : nominal + (1s - intoSecond);
}

Correction DecideCorrection(const Estimate& estimate, nanoseconds slewPending)
{
    const nanoseconds size = std::chrono::abs(estimate.offset + slewPending);
    if (size <= estimate.errorBound)
        return {};
    return {size >= kStepThreshold ? Correction::Kind::Step : Correction::Kind::Slew, -estimate.offset};
}

} // namespace keeper
