#pragma once

// The kernel stamps arriving packets with their receipt time only once some socket of the
// system asked for it, and the first one to ask switches that on through deferred work:
// until it has run, a receive is stamped when it is read. Tests that send right after a
// socket asked wait for it here.

namespace testsupport {

// Whether the kernel now stamps a datagram as it arrives: one sent to itself and left
// unread for 20 ms carries a stamp from before that wait.
bool KernelStampsOnArrival();

// Tries that for up to 5 s; false if the kernel never did.
bool AwaitStampsOnArrival();

} // namespace testsupport
