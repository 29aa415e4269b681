#pragma once

#include <string>

namespace testsupport {

// Moves this process into a network namespace of its own, with loopback up and the
// multicast range routed over it, so that a test may use fixed ports and groups without
// meeting anyone else's traffic, and send nothing beyond the machine. Joining a group
// on "any interface" then lands on loopback. The namespace goes with the process.
// Call it on the main thread before any socket is made; later calls do nothing.
// Needs root; returns why when it cannot, empty on success.
std::string EnterPrivateNetwork();

// Runs `ip <arguments>` inside that namespace; true when it succeeded.
bool RunIp(const std::string& arguments);

// Turns that namespace into a LAN without a gateway: two linked interfaces, lan0 and
// lan1, up, and no route at all, not even the one for multicast; addresses are the
// test's to add. True when it succeeded.
bool MakeLanWithoutRoutes();

} // namespace testsupport
