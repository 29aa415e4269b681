#include "tests/support/simulated_keeping.h"

#include <algorithm>
#include <cmath>
#include <utility>

using keeper::Correction;
using keeper::PcTime;
using std::chrono::nanoseconds;
using namespace std::chrono_literals;

namespace testsupport {

namespace {

constexpr double kSlewRate = 500e-6;

nanoseconds Times(nanoseconds span, double factor)
{
    return nanoseconds(std::llround(static_cast<double>(span.count()) * factor));
}

} // namespace

SimulatedClocks::SimulatedClocks(PcTime serverStart, nanoseconds pcOffset, double pcDriftPpm)
    : pcDrift_(pcDriftPpm * 1e-6), server_(serverStart), pc_(serverStart + pcOffset)
{
}

void SimulatedClocks::Advance(nanoseconds span)
{
    const nanoseconds drift = Times(span, pcDrift_);
    nanoseconds slew = std::min(std::chrono::abs(slewLeft_), Times(span, kSlewRate));
    if (slewLeft_ < 0ns)
        slew = -slew;
    server_ += span;
    monotonic_ += span + drift;
    pc_ += span + drift + slew;
    slewLeft_ -= slew;
    slewed_ += slew;
}

void SimulatedClocks::AdvancePcTo(PcTime pcTime)
{
    // A little less than the PC's reading falls short by, until it falls short no more: its
    // rate is never off by a thousandth.
    while (pc_ < pcTime)
        Advance(std::max(nanoseconds(1), Times(pcTime - pc_, 0.999)));
}

void SimulatedClocks::StepPc(nanoseconds by)
{
    pc_ += by;
    slewLeft_ = 0ns;
}

void SimulatedClocks::SlewPc(nanoseconds by)
{
    slewLeft_ = by;
}

nanoseconds SimulatedClocks::TakeSlewed()
{
    return std::exchange(slewed_, 0ns);
}

SimulatedReply SimulatedKeeping::Request(nanoseconds flight, double serverPhase)
{
    if (timeRequests)
        clocks.AdvancePcTo(keeper::SendMoment(clocks.Pc(), EstimateNow(), lastRoundTrip_));
    const PcTime sent = clocks.Pc();
    const nanoseconds toRead = Times(flight, serverPhase);
    clocks.Advance(toRead);
    const auto second = std::chrono::floor<std::chrono::seconds>(clocks.Server());
    clocks.Advance(flight - toRead);
    lastRoundTrip_ = clocks.Pc() - sent;
    return Receive({sent, clocks.Pc(), second});
}

SimulatedReply SimulatedKeeping::Unasked(nanoseconds flight)
{
    const auto second = std::chrono::floor<std::chrono::seconds>(clocks.Server());
    clocks.Advance(flight);
    return Receive({std::nullopt, clocks.Pc(), second});
}

std::optional<keeper::Estimate> SimulatedKeeping::EstimateNow()
{
    ReportSlew();
    return estimator.At(clocks.Monotonic());
}

void SimulatedKeeping::ReportSlew()
{
    estimator.Corrected(clocks.TakeSlewed());
}

SimulatedReply SimulatedKeeping::Receive(const keeper::Exchange& exchange)
{
    ReportSlew();
    SimulatedReply reply;
    reply.outcome = estimator.Add(exchange, clocks.Monotonic());
    reply.estimate = estimator.At(clocks.Monotonic());
    reply.trueOffset = clocks.TrueOffset();
    if (!reply.estimate)
        return reply;
    reply.correction = keeper::DecideCorrection(*reply.estimate, clocks.SlewLeft());
    if (reply.correction.kind == Correction::Kind::Step) {
        clocks.StepPc(reply.correction.amount);
        estimator.Corrected(reply.correction.amount);
    } else if (reply.correction.kind == Correction::Kind::Slew) {
        clocks.SlewPc(reply.correction.amount);
    }
    reply.slewLeft = clocks.SlewLeft();
    return reply;
}

} // namespace testsupport
