#pragma once

// A PC clock kept against a time server, simulated for the offset estimate's tests and
// benchmark: the two clocks in a true time of the simulation's own, and a client that
// times its requests, hands the frames to a keeper::OffsetEstimator and applies the
// corrections it calls for. No real clock is read or set.

#include "keeper/offset_estimate.h"

#include <chrono>
#include <optional>

namespace testsupport {

// The server's clock keeps true time until told to jump. The PC's runs off it by a fixed
// drift and, while a slew is under way, 500 ppm faster or slower besides, as the kernel
// slews. The monotonic clock runs at the PC's crystal's rate; no correction moves it.
class SimulatedClocks {
public:
    // The PC starts `pcOffset` ahead of the server; `pcDriftPpm` is its rate error.
    SimulatedClocks(keeper::PcTime serverStart, std::chrono::nanoseconds pcOffset, double pcDriftPpm);

    // Lets `span` of true time pass.
    void Advance(std::chrono::nanoseconds span);
    // Lets true time pass until the PC's clock reads `pcTime` (to the nanosecond).
    void AdvancePcTo(keeper::PcTime pcTime);

    keeper::PcTime Pc() const { return pc_; }
    keeper::PcTime Server() const { return server_; }
    keeper::MonotonicTime Monotonic() const { return monotonic_; }
    // The PC's time minus the server's, now.
    std::chrono::nanoseconds TrueOffset() const { return pc_ - server_; }

    // Moves the PC's clock `by` at once; a slew under way is dropped, as the kernel drops it.
    void StepPc(std::chrono::nanoseconds by);
    // Slews the PC's clock `by`, in place of a slew under way.
    void SlewPc(std::chrono::nanoseconds by);
    // How far slewing moved the PC's clock since the last call.
    std::chrono::nanoseconds TakeSlewed();
    // What of the slew under way is still to come.
    std::chrono::nanoseconds SlewLeft() const { return slewLeft_; }
    // Moves the server's clock `by` at once.
    void JumpServer(std::chrono::nanoseconds by) { server_ += by; }

private:
    double pcDrift_; // a fraction, not ppm
    keeper::PcTime server_;
    keeper::PcTime pc_;
    keeper::MonotonicTime monotonic_{};
    std::chrono::nanoseconds slewLeft_{};
    std::chrono::nanoseconds slewed_{};
};

// What one frame led to.
struct SimulatedReply {
    keeper::OffsetEstimator::Outcome outcome{};
    std::optional<keeper::Estimate> estimate; // right after the frame
    std::chrono::nanoseconds trueOffset{};    // at the frame's receipt
    keeper::Correction correction;            // what the estimate called for, and was applied
    std::chrono::nanoseconds slewLeft{};      // then: what a slew under way will still move the PC by
};

// The client: each slew applied is reported to the estimator whenever the client looks at
// it, before anything else.
class SimulatedKeeping {
public:
    explicit SimulatedKeeping(const SimulatedClocks& start) : clocks(start) {}

    // A request due now, sent when keeper::SendMoment says; the server reads its clock
    // `serverPhase` (0 to 1) of the way through a flight of `flight`.
    SimulatedReply Request(std::chrono::nanoseconds flight, double serverPhase);
    // A frame the server writes unasked now, `flight` on its way.
    SimulatedReply Unasked(std::chrono::nanoseconds flight);
    // The estimate now.
    std::optional<keeper::Estimate> EstimateNow();

    SimulatedClocks clocks;
    keeper::OffsetEstimator estimator;
    // Whether requests wait for keeper::SendMoment; otherwise they go out when due.
    bool timeRequests = true;

private:
    void ReportSlew();
    SimulatedReply Receive(const keeper::Exchange& exchange);

    std::chrono::nanoseconds lastRoundTrip_{};
};

} // namespace testsupport
