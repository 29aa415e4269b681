#pragma once

#include <string>

namespace testsupport {

// Moves the calling thread, and every thread it starts from then on, into a mount
// namespace of its own whose resolver asks a name server that never answers: the test's
// own /etc/resolv.conf names 127.0.0.1, where a UDP socket is bound to port 53 and never
// read, and its own /etc/hosts and /etc/nsswitch.conf know localhost, nowhere.test
// (0.0.0.0) and also-here.test (0.0.0.0 and 127.0.0.1), and nothing else. So a lookup of any
// other name hangs in the system's resolver, as behind a dead name server.
// Enters the private network first (tests/support/private_network.h), so that the port is
// the namespace's own and no question leaves it. Call it on the main thread before any
// lookup; later calls do nothing. Needs root; returns why when it cannot, empty on success.
std::string EnterHungResolver();

} // namespace testsupport
